<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="zh_CN">
<!-- The source texts are the string tables of window_texts.h and worker_texts.h;
     the windows look them up by their Chinese text. Keep every text of both
     tables here: a test checks that none is missing. -->
<context>
    <name>quillport</name>
    <message>
        <source>关于 Quillport(&amp;A)...</source>
        <translation>&amp;About Quillport...</translation>
    </message>
    <message>
        <source>Norq K40X 下 载 工 具</source>
        <translation>Norq K40X Download Tool</translation>
    </message>
    <message>
        <source>此工具会擦除Flash所有数据，包括校准区</source>
        <translation>This tool erases all flash data, including the calibration area</translation>
    </message>
    <message>
        <source>下载</source>
        <translation>Download</translation>
    </message>
    <message>
        <source>全部开始</source>
        <translation>Start all</translation>
    </message>
    <message>
        <source>全部停止</source>
        <translation>Stop all</translation>
    </message>
    <message>
        <source>加载</source>
        <translation>Browse...</translation>
    </message>
    <message>
        <source>选择bin文件</source>
        <translation>Package file</translation>
    </message>
    <message>
        <source>选择cfp文件</source>
        <translation>Cfp file</translation>
    </message>
    <message>
        <source>设置</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>全部擦除</source>
        <translation>Erase all</translation>
    </message>
    <message>
        <source>延时时间(s)</source>
        <translation>Time-out (ms)</translation>
    </message>
    <message>
        <source>下载工具</source>
        <translation>Download tool</translation>
    </message>
    <message>
        <source>空闲</source>
        <translation>Idle</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Closed</translation>
    </message>
    <message>
        <source>错误</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stopped</translation>
    </message>
    <message>
        <source>完成</source>
        <translation>Done</translation>
    </message>
    <message>
        <source>检测端口中...</source>
        <translation>Detecting port...</translation>
    </message>
    <message>
        <source>端口</source>
        <translation>Port</translation>
    </message>
    <message>
        <source>正在下载!</source>
        <translation>Downloading!</translation>
    </message>
    <message>
        <source>请选择下载文件!</source>
        <translation>Please choose the download file!</translation>
    </message>
    <message>
        <source>download.ini文件丢失!</source>
        <translation>download.ini is missing!</translation>
    </message>
    <message>
        <source>filelist.ini文件丢失!</source>
        <translation>filelist.ini is missing!</translation>
    </message>
    <message>
        <source>加载bin文件失败!</source>
        <translation>Loading the bin file failed!</translation>
    </message>
    <message>
        <source>Quillport 1.3 版</source>
        <translation>Quillport version 1.3</translation>
    </message>
    <message>
        <source>内存不足!</source>
        <translation>Out of memory!</translation>
    </message>
    <message>
        <source>端口打开失败!</source>
        <translation>Opening the port failed!</translation>
    </message>
    <message>
        <source>下载中...</source>
        <translation>Downloading...</translation>
    </message>
    <message>
        <source>已连接</source>
        <translation>Connected</translation>
    </message>
    <message>
        <source>下载bin文件不存在!</source>
        <translation>The download bin file does not exist!</translation>
    </message>
    <message>
        <source>正在格式化... ( 等待大约20s ~ 60s )</source>
        <translation>Formatting... (wait about 20 s to 60 s)</translation>
    </message>
    <message>
        <source>格式化</source>
        <translation>Format</translation>
    </message>
    <message>
        <source>格式化完成</source>
        <translation>Format done</translation>
    </message>
    <message>
        <source>读取image信息</source>
        <translation>Reading image information</translation>
    </message>
    <message>
        <source>Image信息读取失败!</source>
        <translation>Reading image information failed!</translation>
    </message>
    <message>
        <source>Image信息读取完成!</source>
        <translation>Image information read!</translation>
    </message>
    <message>
        <source>执行命令发送失败!</source>
        <translation>Sending the execute command failed!</translation>
    </message>
</context>
</TS>
