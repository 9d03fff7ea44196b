<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="zh_CN">
<!-- The source texts are the writer's string table (writer_texts.h) and the
     messages of the lower layers (settings, histories, number checks, numbers
     of one phone); the windows look them up by their Chinese text. Keep every
     text here: a test checks that none is missing. -->
<context>
    <name>tavlo</name>
    <message>
        <source>关于 tavlo(&amp;A)...</source>
        <translation>&amp;About tavlo...</translation>
    </message>
    <message>
        <source>关于 tavlo</source>
        <translation>About tavlo</translation>
    </message>
    <message>
        <source>tavlo 1.0 版</source>
        <translation>tavlo version 1.0</translation>
    </message>
    <message>
        <source>IMEI 工具 Release_v </source>
        <translation>IMEI Tool Release_v </translation>
    </message>
    <message>
        <source>关 闭</source>
        <translation>OFF</translation>
    </message>
    <message>
        <source>空 闲</source>
        <translation>IDLE</translation>
    </message>
    <message>
        <source>正在写入...</source>
        <translation>Writing...</translation>
    </message>
    <message>
        <source>完 成</source>
        <translation>DONE</translation>
    </message>
    <message>
        <source>失 败</source>
        <translation>FAILED</translation>
    </message>
    <message>
        <source>请关闭进程列表中运行的IMEI工具进程!</source>
        <translation>Please end the IMEI tool process that is still running!</translation>
    </message>
    <message>
        <source>DDR文件不存在</source>
        <translation>The DDR file does not exist</translation>
    </message>
    <message>
        <source>请选择IMEI号列表文件!</source>
        <translation>Please choose the IMEI list file!</translation>
    </message>
    <message>
        <source>IMEI号列表文件不存在!</source>
        <translation>The IMEI list file does not exist!</translation>
    </message>
    <message>
        <source>请选择MBSN号列表文件!</source>
        <translation>Please choose the MBSN list file!</translation>
    </message>
    <message>
        <source>MBSN号列表文件不存在!</source>
        <translation>The MBSN list file does not exist!</translation>
    </message>
    <message>
        <source>请选择PSN号列表文件!</source>
        <translation>Please choose the PSN list file!</translation>
    </message>
    <message>
        <source>PSN号列表文件不存在!</source>
        <translation>The PSN list file does not exist!</translation>
    </message>
    <message>
        <source>正在下载中!</source>
        <translation>A run is in progress!</translation>
    </message>
    <message>
        <source>LCD名称过长, 接口名加名称最多127个字符!</source>
        <translation>The LCD name is too long: interface and name take at most 127 characters!</translation>
    </message>
    <message>
        <source>DDR文件过大, 最多2048字节!</source>
        <translation>The DDR file is too large: at most 2048 bytes!</translation>
    </message>
    <message>
        <source>请先选择要写入的内容!</source>
        <translation>Choose what to write first!</translation>
    </message>
    <message>
        <source>清空历史记录失败!</source>
        <translation>Resetting the history failed!</translation>
    </message>
    <message>
        <source>保存设置失败!</source>
        <translation>Saving the settings failed!</translation>
    </message>
    <message>
        <source>参数</source>
        <translation>Parameters</translation>
    </message>
    <message>
        <source>退 出</source>
        <translation>Exit</translation>
    </message>
    <message>
        <source>清空历史记录</source>
        <translation>Reset History</translation>
    </message>
    <message>
        <source>写IMEI</source>
        <translation>Write IMEI</translation>
    </message>
    <message>
        <source>写MBSN</source>
        <translation>Write MBSN</translation>
    </message>
    <message>
        <source>写PSN</source>
        <translation>Write PSN</translation>
    </message>
    <message>
        <source>写DDR</source>
        <translation>Write DDR</translation>
    </message>
    <message>
        <source>写LCD NAME</source>
        <translation>Write LCD name</translation>
    </message>
    <message>
        <source>选择&gt;&gt;</source>
        <translation>Browse&gt;&gt;</translation>
    </message>
    <message>
        <source>开始</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>设置</source>
        <translation>Setup</translation>
    </message>
    <message>
        <source>检测IMEI</source>
        <translation>Check IMEI</translation>
    </message>
    <message>
        <source>芯片</source>
        <translation>Chipset</translation>
    </message>
    <message>
        <source>串口</source>
        <translation>Ports</translation>
    </message>
    <message>
        <source>SIM卡数量</source>
        <translation>SIM card count</translation>
    </message>
    <message>
        <source>1 个SIM卡</source>
        <translation>One SIM card</translation>
    </message>
    <message>
        <source>2 个SIM卡</source>
        <translation>Two SIM cards</translation>
    </message>
    <message>
        <source>3 个SIM卡</source>
        <translation>Three SIM cards</translation>
    </message>
    <message>
        <source>4 个SIM卡</source>
        <translation>Four SIM cards</translation>
    </message>
    <message>
        <source>手动输入</source>
        <translation>Manual input</translation>
    </message>
    <message>
        <source>从文件导入</source>
        <translation>Import from file</translation>
    </message>
    <message>
        <source>自定义生成</source>
        <translation>Custom</translation>
    </message>
    <message>
        <source>自定义( 14位 )</source>
        <translation>Custom (14 digits)</translation>
    </message>
    <message>
        <source>初始码</source>
        <translation>Initial number</translation>
    </message>
    <message>
        <source>掩码</source>
        <translation>Mask</translation>
    </message>
    <message>
        <source>MBSN</source>
        <translation>MBSN</translation>
    </message>
    <message>
        <source>PSN</source>
        <translation>PSN</translation>
    </message>
    <message>
        <source>所有IMEI相同</source>
        <translation>All IMEIs the same</translation>
    </message>
    <message>
        <source>IMEI</source>
        <translation>IMEI</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>boot_fact.bin不存在,请拷贝到工具的images目录中!</source>
        <translation>boot_fact.bin does not exist, please copy it into the tool's images folder!</translation>
    </message>
    <message>
        <source>重置成功!</source>
        <translation>Reset done!</translation>
    </message>
    <message>
        <source>请重启IMEI工具!</source>
        <translation>Please restart the IMEI tool!</translation>
    </message>
    <message>
        <source>不是普通文件, 无法读取!</source>
        <translation>Not a regular file, it cannot be read!</translation>
    </message>
    <message>
        <source>重启后, 已归档的号码会再次分配, 除非更改号码范围或列表!</source>
        <translation>After the restart the archived numbers will be offered again, unless the ranges or lists change!</translation>
    </message>
    <message>
        <source>初始码值长度错误!</source>
        <translation>The initial number has the wrong length!</translation>
    </message>
    <message>
        <source>掩码长度错误!</source>
        <translation>The mask has the wrong length!</translation>
    </message>
    <message>
        <source>初始码必须都是数字!</source>
        <translation>The initial number must be all digits!</translation>
    </message>
    <message>
        <source>掩码必须是数字或者&quot;*&quot;号!</source>
        <translation>The mask must be digits or &quot;*&quot;!</translation>
    </message>
    <message>
        <source>没有可用的IMEI号!</source>
        <translation>No IMEI left to use!</translation>
    </message>
    <message>
        <source>没有可用的MBSN号!</source>
        <translation>No MBSN left to use!</translation>
    </message>
    <message>
        <source>没有可用的PSN号!</source>
        <translation>No PSN left to use!</translation>
    </message>
    <message>
        <source>请输入有效的IMEI号码!</source>
        <translation>Please enter a valid IMEI!</translation>
    </message>
    <message>
        <source>请输入有效的MBSN号码!</source>
        <translation>Please enter a valid MBSN!</translation>
    </message>
    <message>
        <source>请输入有效的PSN号码!</source>
        <translation>Please enter a valid PSN!</translation>
    </message>
    <message>
        <source>通过</source>
        <translation>passed</translation>
    </message>
    <message>
        <source>失败</source>
        <translation>failed</translation>
    </message>
</context>
</TS>
