// The window against velkor-sim on a pseudo-terminal: the part of the helpers only Linux has.

#include "pages/page.h"
#include "support/sim_process.h"
#include "ui_support.h"

#include <QLineEdit>
#include <QPushButton>
#include <unistd.h>

SimFrame NextSimFrame(SimProcess& sim, int ms) {
    SimFrame frame;
    frame.line = sim.WaitForLine("\"dir\":\"in\"", std::chrono::milliseconds(ms));
    const std::string key = "\"bytes\":\"";
    if (auto at = frame.line.find(key); at != std::string::npos) {
        auto start = at + key.size();
        frame.bytes = frame.line.substr(start, frame.line.find('"', start) - start);
    }
    frame.valid = frame.line.find("\"valid\":true") != std::string::npos;
    return frame;
}

SimWindowTest::~SimWindowTest() {
    EndSession();
}

bool SimWindowTest::StartSession(std::vector<std::string> simOptions, bool timerRunning) {
    m_sim = std::make_unique<SimProcess>(std::move(simOptions));
    if (!m_sim->Ready()) {
        return false;
    }
    qputenv("VELKOR_PORTS", m_sim->Link().c_str());
    // Sequence numbers from a counter of the session's own: each session's frames start at 1.
    static int sessions = 0;
    m_sequenceFolder = std::filesystem::temp_directory_path() /
                       ("velkor-ui-sequence-" + std::to_string(getpid()) + "-" + std::to_string(++sessions));
    std::filesystem::remove_all(m_sequenceFolder);
    qputenv("VELKOR_SEQUENCE_DIR", m_sequenceFolder.string().c_str());
    m_window = std::make_unique<CVelkorDlg>();
    m_window->SetTimerRunning(timerRunning);
    m_window->show();
    return OpenThroughPage(*m_window, QString::fromStdString(m_sim->Link()));
}

void SimWindowTest::EndSession() {
    m_window.reset(); // its link releases the port
    m_sim.reset();
    qunsetenv("VELKOR_PORTS");
    qunsetenv("VELKOR_SEQUENCE_DIR");
    if (!m_sequenceFolder.empty()) {
        std::filesystem::remove_all(m_sequenceFolder);
    }
}

QPushButton* SimWindowTest::Button(CPage* page, int id) {
    return page->Get<QPushButton>(id);
}

QLineEdit* SimWindowTest::Edit(CPage* page, int id) {
    return page->Get<QLineEdit>(id);
}
