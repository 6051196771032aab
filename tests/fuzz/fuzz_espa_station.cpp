// The paging system's side of a panel's line on any byte stream, at any pace: it never fails, answers only
// with what the protocol has (ACK, NAK, EOT, a select of the panel, a whole status block), and hands on no
// more blocks than the stream has ETX bytes.

#include "frames/espa.h"
#include "gateway/espa/espa_station.h"

#include <cstdlib>

using namespace velkor::espa;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    // The first byte is the pace (ms between bytes), the second whether blocks are stored.
    const int pace = data[0] % 64;
    const uint8_t store = data[1];
    data += 2;
    size -= 2;
    std::size_t handed = 0;
    int call = 0;
    velkor::gateway::EspaStation station(
        velkor::gateway::StationSettings{'2', std::chrono::milliseconds(100), 3},
        [&](char, const std::optional<std::vector<Record>>& records, const std::string&) {
            ++handed;
            velkor::gateway::BlockOutcome outcome;
            outcome.stored = ((store >> (call++ % 8)) & 1) != 0;
            outcome.call =
                records && FindRecord(*records, CALL_ADDRESS) ? *FindRecord(*records, CALL_ADDRESS) : "";
            outcome.status = Record{CALL_STATUS, "1"};
            return outcome;
        });
    auto now = velkor::gateway::EspaStation::Clock::time_point{};
    std::size_t etx = 0;
    for (std::size_t i = 0; i < size; ++i) {
        now += std::chrono::milliseconds(pace);
        if ((data[i] & 0x7F) == ETX) {
            ++etx;
        }
        const std::string answer = station.Feed(data[i], now);
        const bool single = answer.size() == 1 && (answer[0] == ACK || answer[0] == NAK || answer[0] == EOT);
        const bool select = answer.size() == 2 && answer[0] >= '0' && answer[0] <= '9' && answer[1] == ENQ;
        bool block = false;
        if (answer.size() >= 5 && answer[0] == SOH && answer[1] == STATUS_INFORMATION && answer[2] == STX &&
            static_cast<uint8_t>(answer[answer.size() - 2]) == ETX) {
            block = BlockCheck(std::string_view(answer).substr(1, answer.size() - 2)) ==
                    static_cast<uint8_t>(answer.back());
        }
        if (!answer.empty() && !single && !select && !block) {
            std::abort();
        }
        station.Tick(now);
    }
    if (handed > etx) {
        std::abort();
    }
    station.TakeNotes();
    return 0;
}
