<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>CAboutDlg</name>
    <message>
        <source>关于 Velkor</source>
        <translation>About Velkor</translation>
    </message>
</context>
<context>
    <name>CDialog_Page1</name>
    <message>
        <source>%1 无法打开：没有权限</source>
        <translation>%1 cannot be opened: permission denied</translation>
    </message>
    <message>
        <source>%1 无法打开：没有权限（设备属于 %2 组，请执行 sudo usermod -aG %2 $USER 后重新登录）</source>
        <translation>%1 cannot be opened: permission denied (the device belongs to the group %2: run sudo usermod -aG %2 $USER and log in again)</translation>
    </message>
    <message>
        <source>%1 无法打开：被其他程序占用</source>
        <translation>%1 cannot be opened: another program is using it</translation>
    </message>
    <message>
        <source>%1 无法打开：被 %2（PID %3）占用</source>
        <translation>%1 cannot be opened: %2 (PID %3) is using it</translation>
    </message>
    <message>
        <source>%1 已不存在</source>
        <translation>%1 no longer exists</translation>
    </message>
    <message>
        <source>%1 不是串口</source>
        <translation>%1 is not a serial port</translation>
    </message>
    <message>
        <source>%1 不支持所选的波特率或效验</source>
        <translation>%1 does not support the chosen baud rate or parity</translation>
    </message>
    <message>
        <source>%1 已断开</source>
        <translation>%1 was disconnected</translation>
    </message>
    <message>
        <source>%1 无法打开</source>
        <translation>%1 cannot be opened</translation>
    </message>
    <message>
        <source>串口说明</source>
        <translation>Port notes</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>打开</source>
        <translation>Open</translation>
    </message>
</context>
<context>
    <name>CDialog_Page3</name>
    <message>
        <source>发送的文本不能为空!</source>
        <translation>The text to send must not be empty!</translation>
    </message>
    <message>
        <source>发送的文本最大限制42个汉字,超出部分将不被发送.</source>
        <translation>The text to send is limited to 42 Chinese characters (84 bytes); the rest will not be sent.</translation>
    </message>
    <message>
        <source>提示.</source>
        <translation>Note.</translation>
    </message>
</context>
<context>
    <name>CIPAddressCtrl</name>
    <message>
        <source>第%1段</source>
        <translation>Field %1</translation>
    </message>
</context>
<context>
    <name>CPage</name>
    <message>
        <source>（%1 字节中设备收下 %2 字节）</source>
        <translation> (the device took %2 of %1 bytes)</translation>
    </message>
    <message>
        <source>发送失败：设备 %1 秒内没有再收下数据%2</source>
        <translation>Sending failed: the device took no data for %1 s%2</translation>
    </message>
    <message>
        <source>发送失败：设备已断开%1</source>
        <translation>Sending failed: the device was disconnected%1</translation>
    </message>
    <message>
        <source>发送失败：程序正在退出%1</source>
        <translation>Sending failed: the program is quitting%1</translation>
    </message>
    <message>
        <source>发送失败：串口写入出错（%1）%2</source>
        <translation>Sending failed: error writing to the port (%1)%2</translation>
    </message>
    <message>
        <source>串口未打开</source>
        <translation>The port is not open</translation>
    </message>
</context>
<context>
    <name>CWatchListPage</name>
    <message>
        <source>手表名单</source>
        <translation>Watch list</translation>
    </message>
    <message>
        <source>名称</source>
        <translation>Name</translation>
    </message>
    <message>
        <source>手表地址</source>
        <translation>Watch address</translation>
    </message>
    <message>
        <source>频率</source>
        <translation>Frequency</translation>
    </message>
    <message>
        <source>网络ID</source>
        <translation>Network ID</translation>
    </message>
    <message>
        <source>无法读取文件（%1）</source>
        <translation>Cannot read the file (%1)</translation>
    </message>
    <message>
        <source>文件大于 %1 kB，不是手表名单</source>
        <translation>The file is larger than %1 kB: not a watch list</translation>
    </message>
    <message>
        <source>不是 UTF-8 文本（请在表格软件中另存为“CSV UTF-8”）</source>
        <translation>Not UTF-8 text (save it from the spreadsheet as &quot;CSV UTF-8&quot;)</translation>
    </message>
    <message>
        <source>文件为空：第一行应是标题行 name,address,freq,net,host1,...,host10</source>
        <translation>The file is empty: the first line should be the heading name,address,freq,net,host1,...,host10</translation>
    </message>
    <message>
        <source>有一处引号没有结束</source>
        <translation>A quotation mark is never closed</translation>
    </message>
    <message>
        <source>标题行缺少此列（name,address,freq,net,host1,...,host10）</source>
        <translation>The heading lacks this column (name,address,freq,net,host1,...,host10)</translation>
    </message>
    <message>
        <source>此列出现了两次</source>
        <translation>This column appears twice</translation>
    </message>
    <message>
        <source>手表只有十个地址槽（host1 至 host10）</source>
        <translation>A watch has only ten address slots (host1 to host10)</translation>
    </message>
    <message>
        <source>freq 与 net 两列须同时存在</source>
        <translation>The columns freq and net go together</translation>
    </message>
    <message>
        <source>共 %1 块手表，超过 %2 块，不像一个场所的名单</source>
        <translation>%1 watches, more than %2: not the list of one site</translation>
    </message>
    <message>
        <source>名单中没有手表</source>
        <translation>The list has no watches</translation>
    </message>
    <message>
        <source>需要名称</source>
        <translation>A name is needed</translation>
    </message>
    <message>
        <source>名称须为一行，不含控制字符</source>
        <translation>A name is one line, without control characters</translation>
    </message>
    <message>
        <source>名称“%1”重复</source>
        <translation>The name &quot;%1&quot; is used twice</translation>
    </message>
    <message>
        <source>需要手表地址 A.B.C.D</source>
        <translation>A watch address A.B.C.D is needed</translation>
    </message>
    <message>
        <source>“%1”不是地址 A.B.C.D（每段 0 至 255）</source>
        <translation>&quot;%1&quot; is not an address A.B.C.D (each part 0 to 255)</translation>
    </message>
    <message>
        <source>“%1”不是频率：低于 1024 MHz，最多两位小数（434.00）</source>
        <translation>&quot;%1&quot; is not a frequency: below 1024 MHz, at most two decimals (434.00)</translation>
    </message>
    <message>
        <source>“%1”不是 0 至 255 的网络ID</source>
        <translation>&quot;%1&quot; is not a network ID from 0 to 255</translation>
    </message>
    <message>
        <source>频率与网络ID须同时填写，或同时留空（不改信道）</source>
        <translation>Fill in both frequency and network ID, or leave both empty (the channel stays)</translation>
    </message>
    <message>
        <source>：</source>
        <translation>: </translation>
    </message>
    <message>
        <source>，与文件第 %1 行相同</source>
        <translation>, as on line %1 of the file</translation>
    </message>
    <message>
        <source>，与第 %1 行相同</source>
        <translation>, as in row %1</translation>
    </message>
    <message>
        <source>导入...</source>
        <translation>Import...</translation>
    </message>
    <message>
        <source>保存...</source>
        <translation>Save...</translation>
    </message>
    <message>
        <source>添加</source>
        <translation>Add</translation>
    </message>
    <message>
        <source>删除</source>
        <translation>Remove</translation>
    </message>
    <message>
        <source>检查</source>
        <translation>Check</translation>
    </message>
    <message>
        <source>结果</source>
        <translation>Result</translation>
    </message>
    <message>
        <source>频率(MHz)</source>
        <translation>Freq. (MHz)</translation>
    </message>
    <message>
        <source>间隔</source>
        <translation>Interval</translation>
    </message>
    <message>
        <source>同步时间</source>
        <translation>Sync time</translation>
    </message>
    <message>
        <source>全部写入</source>
        <translation>Write all</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>无法导入 %1：</source>
        <translation>Cannot import %1:</translation>
    </message>
    <message>
        <source>第 %1 行 </source>
        <translation>Line %1: </translation>
    </message>
    <message>
        <source>无法保存 %1：%2</source>
        <translation>Cannot save %1: %2</translation>
    </message>
    <message>
        <source>导入手表名单</source>
        <translation>Import a watch list</translation>
    </message>
    <message>
        <source>CSV 文件 (*.csv);;所有文件 (*)</source>
        <translation>CSV files (*.csv);;All files (*)</translation>
    </message>
    <message>
        <source>保存手表名单</source>
        <translation>Save the watch list</translation>
    </message>
    <message>
        <source>CSV 文件 (*.csv)</source>
        <translation>CSV files (*.csv)</translation>
    </message>
    <message>
        <source>；</source>
        <translation>; </translation>
    </message>
    <message>
        <source>名单无误：%1 块手表</source>
        <translation>The list is correct (watches: %1)</translation>
    </message>
    <message>
        <source>名单有 %1 处错误</source>
        <translation>Faults in the list: %1</translation>
    </message>
    <message>
        <source>等待</source>
        <translation>Waiting</translation>
    </message>
    <message>
        <source>已停止：写入 %1/%2 帧</source>
        <translation>Stopped: %1/%2 frames written</translation>
    </message>
    <message>
        <source>未发送（已停止）</source>
        <translation>Not sent (stopped)</translation>
    </message>
    <message>
        <source>已停止</source>
        <translation>Stopped</translation>
    </message>
    <message>
        <source>已发送</source>
        <translation>Sent</translation>
    </message>
    <message>
        <source>同步时间失败：</source>
        <translation>Syncing the time failed: </translation>
    </message>
    <message>
        <source>全部写入完成</source>
        <translation>All written</translation>
    </message>
    <message>
        <source>无需发送</source>
        <translation>Nothing to send</translation>
    </message>
    <message>
        <source>发送中</source>
        <translation>Sending</translation>
    </message>
    <message>
        <source>失败：</source>
        <translation>Failed: </translation>
    </message>
    <message>
        <source>未发送</source>
        <translation>Not sent</translation>
    </message>
    <message>
        <source>写入失败：</source>
        <translation>Writing failed: </translation>
    </message>
    <message>
        <source>名称“%1”会被当作地址、号码或 all，发往它的信息到不了这块手表</source>
        <translation>The name “%1” reads as an address, a number or all: a page to it would not reach this watch</translation>
    </message>
    <message>
        <source>分组“%1”与手表名称、地址、号码或 all 相同，发往它的信息到不了组内手表</source>
        <translation>The group “%1” is named like a watch, an address, a number or all: a page to it would not reach its members</translation>
    </message>
    <message>
        <source>“%1”不是呼叫号码（1 至 16 位数字）</source>
        <translation>“%1” is not a call number (1 to 16 digits)</translation>
    </message>
    <message>
        <source>%1 重复</source>
        <translation>%1 is used twice</translation>
    </message>
    <message>
        <source>呼叫号码</source>
        <translation>Call number</translation>
    </message>
    <message>
        <source>升级策略</source>
        <translation>Escalation</translation>
    </message>
    <message>
        <source>“%1”不是升级策略的名称（一个词，不含空格）</source>
        <translation>“%1” is not the name of an escalation policy (one word, no blanks)</translation>
    </message>
    <message>
        <source>升级只用于呼叫面板的呼叫：此手表没有呼叫号码</source>
        <translation>An escalation is only for a panel&apos;s calls: this watch has no call number</translation>
    </message>
</context>
<context>
    <name>Help</name>
    <message>
        <source>无线手表参数配置及信息发送工具</source>
        <translation>Wireless watch setup and messaging tool</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>导航</source>
        <translation>Navigation</translation>
    </message>
    <message>
        <source>页面标题</source>
        <translation>Page title</translation>
    </message>
    <message>
        <source>关于 Velkor(&amp;A)...</source>
        <translation>&amp;About Velkor...</translation>
    </message>
    <message>
        <source>无线手表参数配置及信息发送工具-Zelt适用 V%1</source>
        <translation>Wireless Watch Setup and Messaging Tool - for Zelt V%1</translation>
    </message>
</context>
<context>
    <name>Module</name>
    <message>
        <source>LORA配置:</source>
        <translation>LoRa configuration:</translation>
    </message>
    <message>
        <source>无线频率:</source>
        <translation>Frequency:</translation>
    </message>
    <message>
        <source>无线频率</source>
        <translation>Radio frequency</translation>
    </message>
    <message>
        <source>网络地址:</source>
        <translation>Network:</translation>
    </message>
    <message>
        <source>网络地址</source>
        <translation>Network address</translation>
    </message>
    <message>
        <source>休眠周期:</source>
        <translation>Sleep period:</translation>
    </message>
    <message>
        <source>休眠周期</source>
        <translation>Sleep period</translation>
    </message>
    <message>
        <source>呼吸时间:</source>
        <translation>Breathing:</translation>
    </message>
    <message>
        <source>呼吸时间</source>
        <translation>Breathing time</translation>
    </message>
    <message>
        <source>发送功率:</source>
        <translation>Power:</translation>
    </message>
    <message>
        <source>发送功率</source>
        <translation>Transmit power</translation>
    </message>
    <message>
        <source>写配置</source>
        <translation>Write</translation>
    </message>
    <message>
        <source>读配置</source>
        <translation>Read</translation>
    </message>
    <message>
        <source>手表地址:</source>
        <translation>Watch address:</translation>
    </message>
    <message>
        <source>手表地址</source>
        <translation>Watch address</translation>
    </message>
    <message>
        <source>写入</source>
        <translation>Write</translation>
    </message>
    <message>
        <source>读取</source>
        <translation>Read</translation>
    </message>
    <message>
        <source>其它配置:</source>
        <translation>Other settings:</translation>
    </message>
    <message>
        <source>校准时间</source>
        <translation>Set time</translation>
    </message>
    <message>
        <source>获取时间</source>
        <translation>Get time</translation>
    </message>
    <message>
        <source>软件复位</source>
        <translation>Reset</translation>
    </message>
</context>
<context>
    <name>ModuleAnswer</name>
    <message>
        <source>复位成功.</source>
        <translation>Module reset.</translation>
    </message>
    <message>
        <source>写入成功.</source>
        <translation>Configuration written.</translation>
    </message>
    <message>
        <source>LORA配置</source>
        <translation>LoRa configuration</translation>
    </message>
    <message>
        <source>读取成功.</source>
        <translation>Configuration read.</translation>
    </message>
    <message>
        <source>设置手表地址成功.</source>
        <translation>Watch address set.</translation>
    </message>
    <message>
        <source>设置地址.</source>
        <translation>Set address.</translation>
    </message>
    <message>
        <source>校时成功.</source>
        <translation>Time set.</translation>
    </message>
    <message>
        <source>校准时间</source>
        <translation>Set time</translation>
    </message>
    <message>
        <source>%1 星期%2</source>
        <extracomment>The module&apos;s clock: %1 its date and time, %2 its weekday number as the module gives it</extracomment>
        <translation>%1, weekday %2</translation>
    </message>
    <message>
        <source>获取时间</source>
        <translation>Get time</translation>
    </message>
</context>
<context>
    <name>Navigation</name>
    <message>
        <source>系统设置</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>无线配置</source>
        <translation>Wireless</translation>
    </message>
    <message>
        <source>显示页面</source>
        <translation>Message</translation>
    </message>
    <message>
        <source>手表名单</source>
        <translation>Watch list</translation>
    </message>
    <message>
        <source>串口配置</source>
        <translation>Module</translation>
    </message>
    <message>
        <source>帮助文件</source>
        <translation>Help</translation>
    </message>
</context>
<context>
    <name>PageTitle</name>
    <message>
        <source>系统设置</source>
        <translation>System settings</translation>
    </message>
    <message>
        <source>无线配置</source>
        <translation>Wireless configuration</translation>
    </message>
    <message>
        <source>文本输入（限定42个汉字）</source>
        <translation>Text input (up to 42 Chinese characters)</translation>
    </message>
    <message>
        <source>手表名单</source>
        <translation>Watch list</translation>
    </message>
    <message>
        <source>串口配置</source>
        <translation>Module on the serial cable</translation>
    </message>
    <message>
        <source>帮助文件</source>
        <translation>Help</translation>
    </message>
</context>
<context>
    <name>PortSettings</name>
    <message>
        <source>串口参数</source>
        <translation>Serial port</translation>
    </message>
    <message>
        <source>串    口:</source>
        <translation>Port:</translation>
    </message>
    <message>
        <source>波特率:</source>
        <translation>Baud:</translation>
    </message>
    <message>
        <source>效    验:</source>
        <translation>Parity:</translation>
    </message>
    <message>
        <source>串口</source>
        <translation>Port</translation>
    </message>
    <message>
        <source>波特率</source>
        <translation>Baud rate</translation>
    </message>
    <message>
        <source>效验</source>
        <translation>Parity</translation>
    </message>
    <message>
        <source>打开</source>
        <translation>Open</translation>
    </message>
    <message>
        <source>刷新</source>
        <translation>Refresh</translation>
    </message>
</context>
<context>
    <name>StatusBar</name>
    <message>
        <source>端口状态</source>
        <translation>Port state</translation>
    </message>
    <message>
        <source>收发状态</source>
        <translation>Transfer state</translation>
    </message>
    <message>
        <source>时间</source>
        <translation>Time</translation>
    </message>
</context>
<context>
    <name>TextMessage</name>
    <message>
        <source>文本</source>
        <translation>Text</translation>
    </message>
    <message>
        <source>定时发送</source>
        <translation>Timed sending</translation>
    </message>
    <message>
        <source>定时发送间隔</source>
        <translation>Timed sending interval</translation>
    </message>
    <message>
        <source>自动</source>
        <translation>Auto</translation>
    </message>
    <message>
        <source>地址选项</source>
        <translation>Address</translation>
    </message>
    <message>
        <source>发送</source>
        <translation>Send</translation>
    </message>
</context>
<context>
    <name>Wireless</name>
    <message>
        <source>手表地址</source>
        <translation>Watch address</translation>
    </message>
    <message>
        <source>选项</source>
        <translation>Options</translation>
    </message>
    <message>
        <source>广播</source>
        <translation>All</translation>
    </message>
    <message>
        <source>配置框</source>
        <translation>Configure</translation>
    </message>
    <message>
        <source>清空地址</source>
        <translation>Clear address</translation>
    </message>
    <message>
        <source>同步时间</source>
        <translation>Time sync</translation>
    </message>
    <message>
        <source>星期</source>
        <translation>Weekday</translation>
    </message>
    <message>
        <source>周一|周二|周三|周四|周五|周六|周日</source>
        <translation>Mon|Tue|Wed|Thu|Fri|Sat|Sun</translation>
    </message>
    <message>
        <source>写入时间</source>
        <translation>Write time</translation>
    </message>
    <message>
        <source>主机地址</source>
        <translation>Host address</translation>
    </message>
    <message>
        <source>写入地址</source>
        <translation>Write address</translation>
    </message>
    <message>
        <source>手表频率</source>
        <translation>Watch freq.</translation>
    </message>
    <message>
        <source>网络ID</source>
        <translation>Net ID</translation>
    </message>
    <message>
        <source>手表网络ID</source>
        <translation>Watch network ID</translation>
    </message>
    <message>
        <source>写入信道</source>
        <translation>Write channel</translation>
    </message>
    <message>
        <source>写入信道(手表)</source>
        <translation>Write channel (watch)</translation>
    </message>
    <message>
        <source>发射器频率</source>
        <translation>Tx freq.</translation>
    </message>
    <message>
        <source>发射器网络ID</source>
        <translation>Transmitter network ID</translation>
    </message>
    <message>
        <source>写入信道(发射器)</source>
        <translation>Write channel (transmitter)</translation>
    </message>
</context>
</TS>
