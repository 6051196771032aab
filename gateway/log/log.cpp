#include "gateway/log/log.h"

#include <cstdlib>
#include <ctime>
#include <string>
#include <unistd.h>

namespace velkor::gateway {

void LogLine(std::string_view line, LogLevel level) {
    static const bool stamped = std::getenv("JOURNAL_STREAM") == nullptr;
    std::string text;
    if (!stamped) {
        // Built in place: GCC 12 at -O3 warns falsely (-Wrestrict) on "<" + std::to_string(...).
        text += '<';
        text += static_cast<char>('0' + static_cast<int>(level));
        text += '>';
    } else {
        char stamp[32] = {};
        std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S ", &local);
        text = stamp;
    }
    text += line;
    text += '\n';
    // One write for the whole line, so that lines of several threads never interleave. Nothing to do
    // when standard error is gone.
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t wrote = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (wrote <= 0) {
            return;
        }
        done += static_cast<std::size_t>(wrote);
    }
}

} // namespace velkor::gateway
