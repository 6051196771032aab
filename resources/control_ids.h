#pragma once
// The control ids of each dialog template, by name. The numbers are the layouts' own and repeat across
// templates (1010 is the baud list, the watch's network ID and the breathing time), so a page and its
// tests name the control through its own template's scope, never by number.

namespace velkor::resources {

struct MainWindowIds {
    static constexpr int Navigation = 1000;
    static constexpr int Caption = 1001;
    static constexpr int PageFrame = 1003;
};

struct PortSettingsIds {
    static constexpr int Parity = 1009;
    static constexpr int Baud = 1010;
    static constexpr int Port = 1011;
    static constexpr int OpenClose = 1005;
    static constexpr int Refresh = 1006;
};

struct WirelessIds {
    static constexpr int WatchAddress = 1021;
    static constexpr int AddressBroadcast = 1024;
    static constexpr int ClearAddress = 1018;
    static constexpr int Clock = 1014;
    static constexpr int Weekday = 1019;
    static constexpr int WriteTime = 1015;
    static constexpr int HostAddress = 1016;
    static constexpr int AddressSlot = 1013;
    static constexpr int WriteHostAddress = 1017;
    static constexpr int WatchFrequency = 1004;
    static constexpr int WatchNetworkId = 1010;
    static constexpr int WatchChannelBroadcast = 1025;
    static constexpr int WriteWatchChannel = 1020;
    static constexpr int TransmitterFrequency = 1005;
    static constexpr int TransmitterNetworkId = 1011;
    static constexpr int TransmitterChannelBroadcast = 1026;
    static constexpr int WriteTransmitterChannel = 1022;
};

struct TextMessageIds {
    static constexpr int Text = 1023;
    static constexpr int Interval = 1020;
    static constexpr int AutoSend = 1022;
    static constexpr int Address = 1016;
    static constexpr int Send = 1018;
};

struct ModuleIds {
    static constexpr int Frequency = 1004;
    static constexpr int NetworkAddress = 1005;
    static constexpr int SleepPeriod = 1009;
    static constexpr int BreathingTime = 1010;
    static constexpr int TransmitPower = 1011;
    static constexpr int WriteConfig = 1006;
    static constexpr int ReadConfig = 1007;
    static constexpr int WatchAddress = 1014;
    static constexpr int WriteWatchAddress = 1017;
    static constexpr int ReadWatchAddress = 1018;
    static constexpr int SetTime = 1008;
    static constexpr int GetTime = 1012;
    static constexpr int Reset = 1015;
};

struct HelpIds {
    static constexpr int Icon = 1;
    static constexpr int ProductName = 2;
    static constexpr int Version = 3;
};

} // namespace velkor::resources
