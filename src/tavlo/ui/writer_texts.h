#pragma once

// The writer's window and Setup dialog texts, Chinese as the operators know
// them. Messages of the lower layers live beside their code: strings 107
// (settings), 110 and 170 (histories), 117 to 120 (mask check), 122 to 127
// (numbers of one phone).
namespace writer_text {

inline constexpr const char* kAboutMenu = "关于 tavlo(&A)...";  // 101
inline constexpr const char* kAboutTitle = "关于 tavlo";
inline constexpr const char* kAboutText = "tavlo 1.0 版";
inline constexpr const char* kTitlePrefix = "IMEI 工具 Release_v ";

// Banner states 0 to 4: strings 102 to 106.
inline constexpr const char* kBannerTexts[] = {"关 闭", "空 闲", "正在写入...", "完 成", "失 败"};

inline constexpr const char* kCloseRunningCopy = "请关闭进程列表中运行的IMEI工具进程!";  // 108
inline constexpr const char* kDdrMissing = "DDR文件不存在";                              // 109
inline constexpr const char* kChooseImeiList = "请选择IMEI号列表文件!";                  // 111
inline constexpr const char* kImeiListMissing = "IMEI号列表文件不存在!";                 // 112
inline constexpr const char* kChooseMbsnList = "请选择MBSN号列表文件!";                  // 113
inline constexpr const char* kMbsnListMissing = "MBSN号列表文件不存在!";                 // 114
inline constexpr const char* kChoosePsnList = "请选择PSN号列表文件!";                    // 115
inline constexpr const char* kPsnListMissing = "PSN号列表文件不存在!";                   // 116
inline constexpr const char* kRunning = "正在下载中!";                                   // 128

// Refusals at Start for values the phone's LCD/DDR block cannot hold, and
// the failures the operator must hear of rather than lose silently.
inline constexpr const char* kLcdNameTooLong = "LCD名称过长, 接口名加名称最多127个字符!";
inline constexpr const char* kDdrTooLarge = "DDR文件过大, 最多2048字节!";
inline constexpr const char* kNothingToWrite = "请先选择要写入的内容!";
inline constexpr const char* kResetFailed = "清空历史记录失败!";
// Said with the request to restart after Reset History: the moved histories
// no longer count, so a restart hands their numbers out again.
inline constexpr const char* kResetOffersAgain =
    "重启后, 已归档的号码会再次分配, 除非更改号码范围或列表!";
inline constexpr const char* kSaveFailed = "保存设置失败!";
// A list or DDR file that is a FIFO or a device, followed by its path.
inline constexpr const char* kNotAFile = "不是普通文件, 无法读取!";

// Main window captions.
inline constexpr const char* kParams = "参数";                // 130
inline constexpr const char* kExit = "退 出";                 // 131
inline constexpr const char* kResetHistory = "清空历史记录";  // 132
inline constexpr const char* kWriteImei = "写IMEI";           // 133
inline constexpr const char* kWriteMbsn = "写MBSN";           // 134
inline constexpr const char* kWritePsn = "写PSN";             // 135
inline constexpr const char* kWriteDdr = "写DDR";             // 136
inline constexpr const char* kWriteLcd = "写LCD NAME";        // 137
inline constexpr const char* kChoose = "选择>>";              // 138
inline constexpr const char* kStart = "开始";                 // 158
inline constexpr const char* kStop = "停止";                  // 159
inline constexpr const char* kSetup = "设置";                 // 160
inline constexpr const char* kCheckImei = "检测IMEI";         // 174
// The station's counts since the window opened: "通过 3 失败 1".
inline constexpr const char* kPassed = "通过";
inline constexpr const char* kFailed = "失败";

// Setup dialog captions.
inline constexpr const char* kChip = "芯片";           // 139
inline constexpr const char* kPorts = "串口";          // 140
inline constexpr const char* kSimCount = "SIM卡数量";  // 141
inline constexpr const char* kSimCounts[] = {"1 个SIM卡", "2 个SIM卡", "3 个SIM卡",
                                             "4 个SIM卡"};  // 142 to 145
inline constexpr const char* kManual = "手动输入";          // 146
inline constexpr const char* kFromFile = "从文件导入";      // 147
inline constexpr const char* kCustom = "自定义生成";        // 148
inline constexpr const char* kCustom14 = "自定义( 14位 )";  // 149
inline constexpr const char* kInitCode = "初始码";          // 150
inline constexpr const char* kMask = "掩码";                // 151
inline constexpr const char* kMbsn = "MBSN";                // 152
inline constexpr const char* kPsn = "PSN";                  // 153
inline constexpr const char* kAllSame = "所有IMEI相同";     // 154
inline constexpr const char* kImei = "IMEI";                // 155
inline constexpr const char* kOk = "确定";                  // 156
inline constexpr const char* kCancel = "取消";              // 157

// Every text above, for the translation's completeness check.
inline constexpr const char* kAllTexts[] = {kAboutMenu,
                                            kAboutTitle,
                                            kAboutText,
                                            kTitlePrefix,
                                            kBannerTexts[0],
                                            kBannerTexts[1],
                                            kBannerTexts[2],
                                            kBannerTexts[3],
                                            kBannerTexts[4],
                                            kCloseRunningCopy,
                                            kDdrMissing,
                                            kChooseImeiList,
                                            kImeiListMissing,
                                            kChooseMbsnList,
                                            kMbsnListMissing,
                                            kChoosePsnList,
                                            kPsnListMissing,
                                            kRunning,
                                            kLcdNameTooLong,
                                            kDdrTooLarge,
                                            kNothingToWrite,
                                            kResetFailed,
                                            kResetOffersAgain,
                                            kSaveFailed,
                                            kNotAFile,
                                            kParams,
                                            kExit,
                                            kResetHistory,
                                            kWriteImei,
                                            kWriteMbsn,
                                            kWritePsn,
                                            kWriteDdr,
                                            kWriteLcd,
                                            kChoose,
                                            kStart,
                                            kStop,
                                            kSetup,
                                            kCheckImei,
                                            kPassed,
                                            kFailed,
                                            kChip,
                                            kPorts,
                                            kSimCount,
                                            kSimCounts[0],
                                            kSimCounts[1],
                                            kSimCounts[2],
                                            kSimCounts[3],
                                            kManual,
                                            kFromFile,
                                            kCustom,
                                            kCustom14,
                                            kInitCode,
                                            kMask,
                                            kMbsn,
                                            kPsn,
                                            kAllSame,
                                            kImei,
                                            kOk,
                                            kCancel};

}  // namespace writer_text
