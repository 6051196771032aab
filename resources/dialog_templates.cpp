#include "dialog_templates.h"

#include "frames/module_frame.h"
#include "serial/baud_rates.h"
#include "translatable.h"

namespace velkor::resources {

using K = ControlKind;

namespace {

// `control`, with the rectangle it takes when the window speaks a language that needs more room.
ControlTemplate Widened(ControlTemplate control, int x, int y, int width, int height) {
    control.wide = {x, y, width, height};
    return control;
}

} // namespace

const ControlTemplate* DialogTemplate::Find(int controlId) const {
    for (const ControlTemplate& control : controls) {
        if (control.id == controlId) {
            return &control;
        }
    }
    return nullptr;
}

const DialogTemplate& MainWindowTemplate() {
    static const std::vector<ControlTemplate> controls = {
        {MainWindowIds::Navigation, K::ListView, "", 7, 7, 49, 173, STYLE_NONE, 0,
         VELKOR_TR_NOOP("MainWindow", "导航")},
        {MainWindowIds::Caption, K::Caption, "", 59, 7, 207, 13, STYLE_NONE, 0,
         VELKOR_TR_NOOP("MainWindow", "页面标题")},
        {MainWindowIds::PageFrame, K::Frame, "", 59, 21, 207, 159},
    };
    static const DialogTemplate t{102, 273, 202, 9, controls, "MainWindow"};
    return t;
}

const DialogTemplate& PortSettingsTemplate() {
    static const std::string baudRates = velkor::BaudRatesText("|");
    // The lists (and the group box around them) are wide enough for device paths such as /dev/ttyUSB0.
    static const std::vector<ControlTemplate> controls = {
        {0, K::GroupBox, VELKOR_TR_NOOP("PortSettings", "串口参数"), 23, 15, 145, 133},
        {0, K::Label, VELKOR_TR_NOOP("PortSettings", "串    口:"), 33, 35, 28, 8},
        {0, K::Label, VELKOR_TR_NOOP("PortSettings", "波特率:"), 33, 57, 28, 8},
        {0, K::Label, VELKOR_TR_NOOP("PortSettings", "效    验:"), 33, 80, 28, 8},
        {PortSettingsIds::Port, K::ComboBox, "", 63, 34, 96, 30, STYLE_NONE, 0,
         VELKOR_TR_NOOP("PortSettings", "串口")},
        {PortSettingsIds::Baud, K::ComboBox, baudRates, 63, 56, 96, 30, STYLE_NONE, 0,
         VELKOR_TR_NOOP("PortSettings", "波特率")},
        {PortSettingsIds::Parity, K::ComboBox, "NO|ODD|EVEN", 63, 79, 96, 30, STYLE_NONE, 0,
         VELKOR_TR_NOOP("PortSettings", "效验")},
        {PortSettingsIds::OpenClose, K::Button, VELKOR_TR_NOOP("PortSettings", "打开"), 70, 101, 50, 14},
        {PortSettingsIds::Refresh, K::Button, VELKOR_TR_NOOP("PortSettings", "刷新"), 69, 121, 50, 14},
    };
    static const DialogTemplate t{133, 181, 155, 8, controls, "PortSettings"};
    return t;
}

const DialogTemplate& WirelessTemplate() {
    static const std::vector<ControlTemplate> controls = {
        {0, K::GroupBox, VELKOR_TR_NOOP("Wireless", "手表地址"), 6, 0, 107, 30},
        {WirelessIds::WatchAddress, K::IpAddress, "", 11, 13, 96, 13, STYLE_NONE, 0,
         VELKOR_TR_NOOP("Wireless", "手表地址")},
        {0, K::GroupBox, VELKOR_TR_NOOP("Wireless", "选项"), 115, 0, 43, 30},
        {WirelessIds::AddressBroadcast, K::CheckBox, VELKOR_TR_NOOP("Wireless", "广播"), 120, 14, 32, 10,
         STYLE_DISABLED},
        {0, K::GroupBox, VELKOR_TR_NOOP("Wireless", "配置框"), 161, 0, 67, 30},
        Widened(
            {WirelessIds::ClearAddress, K::Button, VELKOR_TR_NOOP("Wireless", "清空地址"), 170, 11, 50, 14},
            165, 11, 59, 14),
        {0, K::GroupBox, VELKOR_TR_NOOP("Wireless", "同步时间"), 6, 32, 107, 30},
        {WirelessIds::Clock, K::Edit, "", 11, 44, 96, 13, STYLE_READ_ONLY, 0,
         VELKOR_TR_NOOP("Wireless", "同步时间")},
        {0, K::GroupBox, VELKOR_TR_NOOP("Wireless", "星期"), 115, 32, 43, 30},
        {WirelessIds::Weekday, K::ComboBox, VELKOR_TR_NOOP("Wireless", "周一|周二|周三|周四|周五|周六|周日"),
         117, 44, 40, 30, STYLE_DISABLED, 0, VELKOR_TR_NOOP("Wireless", "星期")},
        {0, K::GroupBox, VELKOR_TR_NOOP("Wireless", "配置框"), 161, 32, 67, 30},
        Widened({WirelessIds::WriteTime, K::Button, VELKOR_TR_NOOP("Wireless", "写入时间"), 170, 43, 50, 14},
                165, 43, 59, 14),
        {0, K::GroupBox, VELKOR_TR_NOOP("Wireless", "主机地址"), 6, 64, 107, 30},
        {WirelessIds::HostAddress, K::IpAddress, "", 11, 76, 96, 13, STYLE_NONE, 0,
         VELKOR_TR_NOOP("Wireless", "主机地址")},
        {0, K::GroupBox, "ADDR", 115, 64, 43, 30},
        {WirelessIds::AddressSlot, K::ComboBox,
         "Addr1|Addr2|Addr3|Addr4|Addr5|Addr6|Addr7|Addr8|Addr9|Addr10", 117, 76, 40, 30, STYLE_DROPDOWN, 0,
         "ADDR"},
        {0, K::GroupBox, VELKOR_TR_NOOP("Wireless", "配置框"), 161, 64, 67, 30},
        Widened({WirelessIds::WriteHostAddress, K::Button, VELKOR_TR_NOOP("Wireless", "写入地址"), 170, 75,
                 50, 14},
                165, 75, 59, 14),
        {0, K::GroupBox, VELKOR_TR_NOOP("Wireless", "手表频率"), 6, 96, 60, 30},
        {WirelessIds::WatchFrequency, K::Edit, "", 11, 108, 51, 13, STYLE_NONE, 6,
         VELKOR_TR_NOOP("Wireless", "手表频率")},
        {0, K::GroupBox, VELKOR_TR_NOOP("Wireless", "网络ID"), 66, 96, 47, 30},
        {WirelessIds::WatchNetworkId, K::Edit, "", 70, 108, 37, 14, STYLE_DIGITS_ONLY, 3,
         VELKOR_TR_NOOP("Wireless", "手表网络ID")},
        {0, K::GroupBox, VELKOR_TR_NOOP("Wireless", "选项"), 115, 96, 43, 30},
        {WirelessIds::WatchChannelBroadcast, K::CheckBox, VELKOR_TR_NOOP("Wireless", "广播"), 120, 109, 32,
         10, STYLE_DISABLED},
        {0, K::GroupBox, VELKOR_TR_NOOP("Wireless", "配置框"), 161, 96, 67, 30},
        Widened({WirelessIds::WriteWatchChannel, K::Button, VELKOR_TR_NOOP("Wireless", "写入信道"), 170, 107,
                 50, 14, STYLE_NONE, 0, VELKOR_TR_NOOP("Wireless", "写入信道(手表)")},
                165, 107, 59, 14),
        {0, K::GroupBox, VELKOR_TR_NOOP("Wireless", "发射器频率"), 6, 128, 60, 30},
        {WirelessIds::TransmitterFrequency, K::Edit, "", 11, 140, 51, 13, STYLE_NONE, 6,
         VELKOR_TR_NOOP("Wireless", "发射器频率")},
        {0, K::GroupBox, VELKOR_TR_NOOP("Wireless", "网络ID"), 66, 128, 47, 30},
        {WirelessIds::TransmitterNetworkId, K::Edit, "", 70, 140, 37, 14, STYLE_DIGITS_ONLY, 3,
         VELKOR_TR_NOOP("Wireless", "发射器网络ID")},
        {0, K::GroupBox, VELKOR_TR_NOOP("Wireless", "选项"), 115, 128, 43, 30},
        {WirelessIds::TransmitterChannelBroadcast, K::CheckBox, VELKOR_TR_NOOP("Wireless", "广播"), 120, 140,
         32, 10, STYLE_DISABLED},
        {0, K::GroupBox, VELKOR_TR_NOOP("Wireless", "配置框"), 161, 128, 67, 30},
        Widened({WirelessIds::WriteTransmitterChannel, K::Button, VELKOR_TR_NOOP("Wireless", "写入信道"), 170,
                 139, 50, 14, STYLE_NONE, 0, VELKOR_TR_NOOP("Wireless", "写入信道(发射器)")},
                165, 139, 59, 14),
    };
    static const DialogTemplate t{134, 273, 176, 8, controls, "Wireless"};
    return t;
}

const DialogTemplate& TextMessageTemplate() {
    static const std::vector<ControlTemplate> controls = {
        {TextMessageIds::Text, K::RichEdit, "", 7, 6, 214, 116, STYLE_NONE, 84,
         VELKOR_TR_NOOP("TextMessage", "文本")},
        {0, K::GroupBox, VELKOR_TR_NOOP("TextMessage", "定时发送"), 7, 126, 82, 32},
        {TextMessageIds::Interval, K::ComboBox, "5S|10S|20S|30S|60S", 13, 139, 36, 60, STYLE_DROPDOWN, 0,
         VELKOR_TR_NOOP("TextMessage", "定时发送间隔")},
        {TextMessageIds::AutoSend, K::CheckBox, VELKOR_TR_NOOP("TextMessage", "自动"), 54, 141, 30, 10},
        {0, K::GroupBox, VELKOR_TR_NOOP("TextMessage", "地址选项"), 93, 126, 80, 32},
        {TextMessageIds::Address, K::IpAddress, "", 99, 139, 68, 13, STYLE_NONE, 0,
         VELKOR_TR_NOOP("TextMessage", "地址选项")},
        {TextMessageIds::Send, K::Button, VELKOR_TR_NOOP("TextMessage", "发送"), 178, 138, 43, 16},
    };
    static const DialogTemplate t{135, 249, 178, 8, controls, "TextMessage"};
    return t;
}

const DialogTemplate& ModuleTemplate() {
    static const std::string sleepPeriods = velkor::JoinedNames(velkor::SLEEP_PERIOD_NAMES, "|");
    static const std::string breathingTimes = velkor::JoinedNames(velkor::BREATHING_TIME_NAMES, "|");
    static const std::string transmitPowers = velkor::JoinedNames(velkor::TRANSMIT_POWER_NAMES, "|");
    static const std::vector<ControlTemplate> controls = {
        {0, K::GroupBox, VELKOR_TR_NOOP("Module", "LORA配置:"), 12, 11, 217, 73},
        Widened({0, K::Label, VELKOR_TR_NOOP("Module", "无线频率:"), 20, 25, 36, 8}, 20, 25, 50, 8),
        Widened({ModuleIds::Frequency, K::Edit, "", 57, 22, 52, 14, STYLE_NONE, 6,
                 VELKOR_TR_NOOP("Module", "无线频率")},
                71, 22, 44, 14),
        {0, K::Label, VELKOR_TR_NOOP("Module", "网络地址:"), 125, 25, 36, 8},
        {ModuleIds::NetworkAddress, K::Edit, "", 163, 22, 52, 14, STYLE_NONE, 3,
         VELKOR_TR_NOOP("Module", "网络地址")},
        Widened({0, K::Label, VELKOR_TR_NOOP("Module", "休眠周期:"), 20, 45, 36, 8}, 20, 45, 50, 8),
        Widened({ModuleIds::SleepPeriod, K::ComboBox, sleepPeriods, 57, 43, 52, 30, STYLE_DROPDOWN, 0,
                 VELKOR_TR_NOOP("Module", "休眠周期")},
                71, 43, 44, 30),
        {0, K::Label, VELKOR_TR_NOOP("Module", "呼吸时间:"), 125, 45, 36, 8},
        {ModuleIds::BreathingTime, K::ComboBox, breathingTimes, 163, 43, 52, 30, STYLE_DROPDOWN, 0,
         VELKOR_TR_NOOP("Module", "呼吸时间")},
        Widened({0, K::Label, VELKOR_TR_NOOP("Module", "发送功率:"), 20, 65, 36, 8}, 20, 65, 50, 8),
        Widened({ModuleIds::TransmitPower, K::ComboBox, transmitPowers, 57, 63, 52, 30, STYLE_DROPDOWN, 0,
                 VELKOR_TR_NOOP("Module", "发送功率")},
                71, 63, 44, 30),
        {ModuleIds::WriteConfig, K::Button, VELKOR_TR_NOOP("Module", "写配置"), 123, 62, 45, 14},
        {ModuleIds::ReadConfig, K::Button, VELKOR_TR_NOOP("Module", "读配置"), 171, 62, 45, 14},
        {0, K::GroupBox, VELKOR_TR_NOOP("Module", "手表地址:"), 12, 88, 217, 34},
        Widened({0, K::Label, VELKOR_TR_NOOP("Module", "手表地址:"), 20, 103, 36, 8}, 20, 103, 55, 8),
        Widened({ModuleIds::WatchAddress, K::Edit, "", 57, 101, 63, 14, STYLE_DIGITS_ONLY, 8,
                 VELKOR_TR_NOOP("Module", "手表地址")},
                76, 101, 47, 14),
        {ModuleIds::WriteWatchAddress, K::Button, VELKOR_TR_NOOP("Module", "写入"), 125, 100, 47, 14},
        {ModuleIds::ReadWatchAddress, K::Button, VELKOR_TR_NOOP("Module", "读取"), 175, 100, 47, 14},
        {0, K::GroupBox, VELKOR_TR_NOOP("Module", "其它配置:"), 12, 124, 217, 34},
        {ModuleIds::SetTime, K::Button, VELKOR_TR_NOOP("Module", "校准时间"), 34, 137, 50, 14},
        {ModuleIds::GetTime, K::Button, VELKOR_TR_NOOP("Module", "获取时间"), 89, 137, 50, 14},
        {ModuleIds::Reset, K::Button, VELKOR_TR_NOOP("Module", "软件复位"), 145, 137, 50, 14},
    };
    static const DialogTemplate t{137, 249, 178, 8, controls, "Module"};
    return t;
}

const DialogTemplate& HelpTemplate() {
    static const std::vector<ControlTemplate> controls = {
        {HelpIds::Icon, K::Icon, "128", 14, 14, 20, 20, STYLE_NONE, 0, "Velkor"},
        {HelpIds::Version, K::Label, "Velkor V" VELKOR_VERSION, 42, 14, 114, 8},
        Widened({HelpIds::ProductName, K::Label, VELKOR_TR_NOOP("Help", "无线手表参数配置及信息发送工具"), 42,
                 26, 114, 8},
                42, 26, 122, 18),
    };
    static const DialogTemplate t{100, 170, 62, 9, controls, "Help"};
    return t;
}

} // namespace velkor::resources
