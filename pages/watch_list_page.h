#pragma once
// The watch list page ("手表名单"): every watch of a site in one table, read from and saved to the CSV
// file velkor-cli reads, checked whole, and written watch by watch (channel, then the host address slots)
// with the wireless page's frames and its frame numbers, paced so the transmitter has the air time.
//
// The writing runs from a timer, one frame a turn, so the window's tick and the other pages go on.

#include "frames/command_frame.h"
#include "frames/watch_list.h"
#include "page.h"

#include <QTimer>

class QCheckBox;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTableWidget;

class CWatchListPage : public CPage {
    Q_OBJECT
public:
    // `sequence` is the wireless page's frame counter: both pages number the watches' frames in one row.
    CWatchListPage(QWidget* parent, velkor::DeviceLink& link, velkor::SequenceCounter& sequence);

    // The file's watches into the table; false (and a box saying why) when the file cannot be read.
    bool LoadFile(const QString& path);
    // The table into `path`; false (and a box) when it cannot be written.
    bool SaveFile(const QString& path);

    void OnImport();     // "导入..."
    void OnSave();       // "保存..."
    void OnAddRow();     // "添加"
    void OnRemoveRows(); // "删除": the selected rows
    bool OnCheck();      // "检查": every fault beside its row; true when there is none
    void OnWriteAll();   // "全部写入"
    void OnStop();       // "停止": ends after the frame being written

    bool Writing() const { return m_writing; }
    const velkor::WatchList& List() const { return m_list; }
    // The result column of `row`, as shown.
    QString Result(int row) const;

private:
    void Fill();
    void OnCellChanged(int row, int column);
    void MarkCell(int row, int column);
    void SetResult(int row, const QString& text, bool fault = false);
    void SetEditable(bool editable);
    void WriteNext();
    void Finish(const QString& status);
    void FitResults();
    std::string& Cell(velkor::WatchEntry& entry, int column);

    velkor::SequenceCounter& m_sequence;
    velkor::WatchList m_list;
    QTableWidget* m_table;
    QPushButton* m_import;
    QPushButton* m_save;
    QPushButton* m_add;
    QPushButton* m_remove;
    QPushButton* m_check;
    QPushButton* m_writeAll;
    QPushButton* m_stop;
    QSpinBox* m_gap;
    QCheckBox* m_syncTime;
    QProgressBar* m_progress;
    bool m_filling = false;

    // The run: the row being written, its frames and the next of them.
    QTimer m_pace;
    bool m_writing = false;
    bool m_stopRequested = false;
    int m_row = 0;
    std::vector<velkor::WatchFrame> m_frames;
    std::size_t m_next = 0;
    bool m_timeSent = false;
};
