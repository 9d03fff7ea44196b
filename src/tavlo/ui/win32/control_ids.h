#pragma once

// The writer's Win32 controls by their template IDs, for the windows and for
// the tests that drive them through window messages.
namespace tavlo_id {

// Main window (template 102).
inline constexpr int kParams = 1058, kCheckImei = 1071;
inline constexpr int kWriteImei = 1000, kWriteMbsn = 1001, kWritePsn = 1002;
inline constexpr int kWriteLcd = 1014, kWriteDdr = 1015;
// By ENumberField: IMEI 1 to 4, MBSN, PSN.
inline constexpr int kFields[6] = {1003, 1007, 1010, 1013, 1004, 1005};
inline constexpr int kLcdType = 1053, kLcdName = 1050, kDdrPath = 1051, kBrowseDdr = 1052;
inline constexpr int kLog = 1006, kBanner = 1008;
inline constexpr int kStart = 1009, kStop = 1016, kResetHistory = 1017, kSetup = 1011;
inline constexpr int kExit = 1057, kPdlPath = 1054;
inline constexpr int kCounts = 1072;  // passed and failed since the window opened
inline constexpr int kAboutCommand = 0x10;

// Setup dialog (template 131).
inline constexpr int kSims[4] = {1042, 1043, 1044, 1045};
inline constexpr int kAllSame = 1046, kChipList = 1047, kPortList = 1048, kImei14 = 1019;
// By ESourceKind (IMEI, MBSN, PSN), then by InputType.
inline constexpr int kTypes[3][3] = {{1036, 1037, 1038}, {1028, 1029, 1035}, {1027, 1033, 1034}};
inline constexpr int kFiles[3] = {1018, 1025, 1030};
inline constexpr int kBrowses[3] = {1017, 1026, 1031};
inline constexpr int kInits[3] = {1039, 1006, 1011};
inline constexpr int kMasks[3] = {1040, 1010, 1032};

}  // namespace tavlo_id

// The window classes, by which tests and a second copy find the windows.
inline constexpr wchar_t kTavloWindowClass[] = L"TavloMainWindow";
inline constexpr wchar_t kTavloSetupClass[] = L"TavloSetupDialog";
inline constexpr wchar_t kTavloBannerClass[] = L"TavloColorWnd";
