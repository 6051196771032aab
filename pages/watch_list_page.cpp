#include "watch_list_page.h"

#include "frames/watch_commands.h"
#include "serial/device_link.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <ctime>

namespace {

// The result beside the name, where a narrow page shows it without scrolling; then the file's columns.
constexpr int kResultColumn = 1;
// Widest a column grows to fit its cells, and the length from which a cell's tooltip shows it whole.
constexpr int kWidestColumn = 160;
constexpr int kLongCell = 16;
constexpr int kColumns = 5 + velkor::HOST_SLOTS;

// The file's column (name, address, freq, net, host1..host10) a table column shows; -1 for the result.
int FieldOf(int column) {
    return column == 0 ? 0 : column == kResultColumn ? -1 : column - 1;
}
const QColor kFaultColour(255, 220, 220);

QString Utf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The page is laid out by hand: its template has no controls, only the pages' dialog font.
const velkor::resources::DialogTemplate& NoControls() {
    static const velkor::resources::DialogTemplate dialog{
        0, 0, 0, velkor::resources::WirelessTemplate().pointSize, {}};
    return dialog;
}

QString Caption() {
    return CWatchListPage::tr("手表名单");
}

// A column of the file as the table heads it.
QString ColumnName(const std::string& column) {
    if (column == "name") {
        return CWatchListPage::tr("名称");
    }
    if (column == "address") {
        return CWatchListPage::tr("手表地址");
    }
    if (column == "freq") {
        return CWatchListPage::tr("频率");
    }
    if (column == "net") {
        return CWatchListPage::tr("网络ID");
    }
    if (column.starts_with("host")) {
        return QStringLiteral("Addr") + Utf8(column.substr(4));
    }
    if (column == "call") {
        return CWatchListPage::tr("呼叫号码");
    }
    if (column == "escalate") {
        return CWatchListPage::tr("升级策略");
    }
    return Utf8(column);
}

// A fault in the window's words: the cell's value quoted where it is the fault.
QString ProblemText(velkor::WatchListProblem problem, const QString& value) {
    using P = velkor::WatchListProblem;
    switch (problem) {
    case P::Unreadable:
        return CWatchListPage::tr("无法读取文件（%1）").arg(value);
    case P::TooLarge:
        return CWatchListPage::tr("文件大于 %1 kB，不是手表名单").arg(velkor::MAX_WATCH_LIST_BYTES / 1024);
    case P::NotText:
        return CWatchListPage::tr("不是 UTF-8 文本（请在表格软件中另存为“CSV UTF-8”）");
    case P::Empty:
        return CWatchListPage::tr("文件为空：第一行应是标题行 name,address,freq,net,host1,...,host10");
    case P::QuoteNeverEnds:
        return CWatchListPage::tr("有一处引号没有结束");
    case P::NoSuchColumn:
        return CWatchListPage::tr("标题行缺少此列（name,address,freq,net,host1,...,host10）");
    case P::ColumnTwice:
        return CWatchListPage::tr("此列出现了两次");
    case P::SlotPastTen:
        return CWatchListPage::tr("手表只有十个地址槽（host1 至 host10）");
    case P::ChannelColumns:
        return CWatchListPage::tr("freq 与 net 两列须同时存在");
    case P::TooManyWatches:
        return CWatchListPage::tr("共 %1 块手表，超过 %2 块，不像一个场所的名单")
            .arg(value)
            .arg(velkor::MAX_WATCHES);
    case P::NoWatches:
        return CWatchListPage::tr("名单中没有手表");
    case P::NoName:
        return CWatchListPage::tr("需要名称");
    case P::NameNotOneLine:
        return CWatchListPage::tr("名称须为一行，不含控制字符");
    case P::NameTwice:
        return CWatchListPage::tr("名称“%1”重复").arg(value);
    case P::NameIsRecipient:
        return CWatchListPage::tr("名称“%1”会被当作地址、号码或 all，发往它的信息到不了这块手表").arg(value);
    case P::GroupNamedLikeRecipient:
        return CWatchListPage::tr("分组“%1”与手表名称、地址、号码或 all 相同，发往它的信息到不了组内手表")
            .arg(value);
    case P::BadCall:
        return CWatchListPage::tr("“%1”不是呼叫号码（1 至 16 位数字）").arg(value);
    case P::CallTwice:
        return CWatchListPage::tr("%1 重复").arg(value);
    case P::BadEscalation:
        return CWatchListPage::tr("“%1”不是升级策略的名称（一个词，不含空格）").arg(value);
    case P::EscalationWithoutCall:
        return CWatchListPage::tr("升级只用于呼叫面板的呼叫：此手表没有呼叫号码");
    case P::NoAddress:
        return CWatchListPage::tr("需要手表地址 A.B.C.D");
    case P::BadAddress:
        return CWatchListPage::tr("“%1”不是地址 A.B.C.D（每段 0 至 255）").arg(value);
    case P::BadFrequency:
        return CWatchListPage::tr("“%1”不是频率：低于 1024 MHz，最多两位小数（434.00）").arg(value);
    case P::BadNetwork:
        return CWatchListPage::tr("“%1”不是 0 至 255 的网络ID").arg(value);
    case P::ChannelHalf:
        return CWatchListPage::tr("频率与网络ID须同时填写，或同时留空（不改信道）");
    }
    return {};
}

// "手表地址：“0.0.0.300”不是地址 ..." for a fault of a row, or of the file.
QString FaultLine(const velkor::WatchListFault& fault) {
    QString text = fault.column.empty() ? QString() : ColumnName(fault.column) + CWatchListPage::tr("：");
    text += ProblemText(fault.problem, Utf8(fault.value));
    if (fault.problem == velkor::WatchListProblem::NameTwice ||
        fault.problem == velkor::WatchListProblem::CallTwice) {
        text += fault.otherLine > 0 ? CWatchListPage::tr("，与文件第 %1 行相同").arg(fault.otherLine)
                                    : CWatchListPage::tr("，与第 %1 行相同").arg(fault.otherRow + 1);
    }
    return text;
}

} // namespace

CWatchListPage::CWatchListPage(QWidget* parent, velkor::DeviceLink& link, velkor::SequenceCounter& sequence)
    : CPage(NoControls(), parent, &link), m_sequence(sequence) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(4);

    auto* files = new QHBoxLayout;
    m_import = new QPushButton(tr("导入..."), this);
    m_save = new QPushButton(tr("保存..."), this);
    m_add = new QPushButton(tr("添加"), this);
    m_remove = new QPushButton(tr("删除"), this);
    m_check = new QPushButton(tr("检查"), this);
    for (QPushButton* button : {m_import, m_save, m_add, m_remove, m_check}) {
        files->addWidget(button);
    }
    files->addStretch();
    layout->addLayout(files);

    const QStringList headers = [] {
        QStringList names = {tr("名称"), tr("结果"), tr("手表地址"), tr("频率(MHz)"), tr("网络ID")};
        for (int slot = 1; slot <= velkor::HOST_SLOTS; ++slot) {
            names << QStringLiteral("Addr%1").arg(slot);
        }
        return names;
    }();
    m_table = new QTableWidget(0, kColumns, this);
    m_table->setHorizontalHeaderLabels(headers);
    m_table->setAccessibleName(Caption());
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->verticalHeader()->setDefaultSectionSize(m_table->fontMetrics().height() + 6);
    layout->addWidget(m_table, 1);

    auto* pacing = new QHBoxLayout;
    pacing->addWidget(new QLabel(tr("间隔"), this));
    m_gap = new QSpinBox(this);
    m_gap->setRange(0, 60000);
    m_gap->setSingleStep(100);
    m_gap->setValue(1000);
    m_gap->setSuffix(QStringLiteral(" ms"));
    m_gap->setAccessibleName(tr("间隔"));
    m_gap->setMinimumWidth(m_gap->fontMetrics().horizontalAdvance(QStringLiteral("60000 ms")) + 30);
    pacing->addWidget(m_gap);
    pacing->addSpacing(12);
    m_syncTime = new QCheckBox(tr("同步时间"), this);
    pacing->addWidget(m_syncTime);
    pacing->addStretch();
    layout->addLayout(pacing);

    auto* run = new QHBoxLayout;
    m_progress = new QProgressBar(this);
    m_progress->setRange(0, 1);
    m_progress->setValue(0);
    m_progress->setFormat(QString()); // the count shows once a run starts
    run->addWidget(m_progress, 1);
    m_writeAll = new QPushButton(tr("全部写入"), this);
    m_stop = new QPushButton(tr("停止"), this);
    m_stop->setEnabled(false);
    run->addWidget(m_writeAll);
    run->addWidget(m_stop);
    layout->addLayout(run);

    connect(m_import, &QPushButton::clicked, this, &CWatchListPage::OnImport);
    connect(m_save, &QPushButton::clicked, this, &CWatchListPage::OnSave);
    connect(m_add, &QPushButton::clicked, this, &CWatchListPage::OnAddRow);
    connect(m_remove, &QPushButton::clicked, this, &CWatchListPage::OnRemoveRows);
    connect(m_check, &QPushButton::clicked, this, &CWatchListPage::OnCheck);
    connect(m_writeAll, &QPushButton::clicked, this, &CWatchListPage::OnWriteAll);
    connect(m_stop, &QPushButton::clicked, this, &CWatchListPage::OnStop);
    connect(m_table, &QTableWidget::cellChanged, this, &CWatchListPage::OnCellChanged);
    m_pace.setSingleShot(true);
    connect(&m_pace, &QTimer::timeout, this, &CWatchListPage::WriteNext);
}

std::string& CWatchListPage::Cell(velkor::WatchEntry& entry, int column) {
    switch (FieldOf(column)) {
    case 0:
        return entry.name;
    case 1:
        return entry.address;
    case 2:
        return entry.freq;
    case 3:
        return entry.net;
    default:
        return entry.hosts[static_cast<std::size_t>(FieldOf(column) - 4)];
    }
}

void CWatchListPage::Fill() {
    m_filling = true;
    m_table->setRowCount(static_cast<int>(m_list.entries.size()));
    for (int row = 0; row < m_table->rowCount(); ++row) {
        velkor::WatchEntry& entry = m_list.entries[static_cast<std::size_t>(row)];
        for (int column = 0; column < kColumns; ++column) {
            if (column != kResultColumn) {
                m_table->setItem(row, column, new QTableWidgetItem(Utf8(Cell(entry, column))));
                MarkCell(row, column);
            }
        }
        auto* result = new QTableWidgetItem;
        result->setFlags(result->flags() & ~Qt::ItemIsEditable);
        m_table->setItem(row, kResultColumn, result);
    }
    m_filling = false;
    m_table->resizeColumnsToContents();
    // A sixty-character name must not push the result and the address out of sight: the cell is cut with
    // "…" and its tooltip has it whole.
    for (int column = 0; column < m_table->columnCount(); ++column) {
        if (column != kResultColumn && m_table->columnWidth(column) > kWidestColumn) {
            m_table->setColumnWidth(column, kWidestColumn);
        }
    }
}

void CWatchListPage::MarkCell(int row, int column) {
    QTableWidgetItem* item = m_table->item(row, column);
    if (item == nullptr) {
        return;
    }
    const std::optional<velkor::WatchListProblem> fault = velkor::CellProblem(
        velkor::WatchListColumns()[static_cast<std::size_t>(FieldOf(column))], item->text().toStdString());
    item->setBackground(fault ? QBrush(kFaultColour) : QBrush());
    // A cell wider than its column (a long name) shows whole in its tooltip.
    item->setToolTip(fault ? ProblemText(*fault, item->text())
                           : (item->text().size() > kLongCell ? item->text() : QString()));
}

void CWatchListPage::OnCellChanged(int row, int column) {
    if (m_filling || column == kResultColumn || row >= static_cast<int>(m_list.entries.size())) {
        return;
    }
    QTableWidgetItem* item = m_table->item(row, column);
    // A cell holds one line: a pasted line break would split the row when the list is saved and read again.
    QString text = item->text().trimmed();
    text.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
    if (text != item->text()) {
        m_filling = true;
        item->setText(text);
        m_filling = false;
    }
    Cell(m_list.entries[static_cast<std::size_t>(row)], column) = text.toStdString();
    MarkCell(row, column);
    SetResult(row, QString());
}

void CWatchListPage::SetResult(int row, const QString& text, bool fault) {
    QTableWidgetItem* item = m_table->item(row, kResultColumn);
    if (item == nullptr) {
        return;
    }
    m_filling = true;
    item->setText(text);
    item->setToolTip(text);
    item->setBackground(fault ? QBrush(kFaultColour) : QBrush());
    m_filling = false;
}

QString CWatchListPage::Result(int row) const {
    QTableWidgetItem* item = m_table->item(row, kResultColumn);
    return item != nullptr ? item->text() : QString();
}

bool CWatchListPage::LoadFile(const QString& path) {
    std::variant<velkor::WatchList, std::vector<velkor::WatchListFault>> loaded =
        velkor::LoadWatchList(path.toStdString());
    if (auto* faults = std::get_if<std::vector<velkor::WatchListFault>>(&loaded)) {
        QString text = tr("无法导入 %1：").arg(path);
        for (std::size_t i = 0; i < faults->size() && i < 10; ++i) {
            const velkor::WatchListFault& fault = (*faults)[i];
            text += QStringLiteral("\n") + (fault.line > 0 ? tr("第 %1 行 ").arg(fault.line) : QString()) +
                    FaultLine(fault);
        }
        ShowMessage(text, Caption());
        return false;
    }
    m_list = std::get<velkor::WatchList>(std::move(loaded));
    Fill();
    m_progress->setRange(0, 1);
    m_progress->setValue(0);
    OnCheck();
    return true;
}

bool CWatchListPage::SaveFile(const QString& path) {
    QSaveFile file(path);
    const std::string text = velkor::SaveWatchList(m_list);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()) ||
        !file.commit()) {
        ShowMessage(tr("无法保存 %1：%2").arg(path, file.errorString()), Caption());
        return false;
    }
    return true;
}

void CWatchListPage::OnImport() {
    const QString path = QFileDialog::getOpenFileName(this, tr("导入手表名单"), QString(),
                                                      tr("CSV 文件 (*.csv);;所有文件 (*)"));
    if (!path.isEmpty()) {
        LoadFile(path);
    }
}

void CWatchListPage::OnSave() {
    QString path = QFileDialog::getSaveFileName(this, tr("保存手表名单"), QString(), tr("CSV 文件 (*.csv)"));
    if (path.isEmpty()) {
        return;
    }
    if (!path.endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive)) {
        path += QStringLiteral(".csv");
    }
    SaveFile(path);
}

void CWatchListPage::OnAddRow() {
    m_list.entries.emplace_back();
    m_list.entries.back().extra.resize(m_list.extraColumns.size());
    Fill();
    const int row = m_table->rowCount() - 1;
    m_table->setCurrentCell(row, 0);
    m_table->editItem(m_table->item(row, 0));
}

void CWatchListPage::OnRemoveRows() {
    QList<int> rows;
    for (const QModelIndex& index : m_table->selectionModel()->selectedRows()) {
        rows << index.row();
    }
    std::sort(rows.begin(), rows.end(), std::greater<>());
    for (int row : rows) {
        m_list.entries.erase(m_list.entries.begin() + row);
    }
    Fill();
}

bool CWatchListPage::OnCheck() {
    const std::vector<velkor::WatchListFault> faults = velkor::CheckWatchList(m_list);
    std::vector<QString> byRow(m_list.entries.size());
    QString general;
    for (const velkor::WatchListFault& fault : faults) {
        if (fault.row >= 0 && static_cast<std::size_t>(fault.row) < byRow.size()) {
            QString& text = byRow[static_cast<std::size_t>(fault.row)];
            text += (text.isEmpty() ? QString() : tr("；")) + FaultLine(fault);
        } else {
            general += (general.isEmpty() ? QString() : tr("；")) + FaultLine(fault);
        }
    }
    int first = -1;
    for (int row = 0; row < m_table->rowCount(); ++row) {
        const QString& text = byRow[static_cast<std::size_t>(row)];
        SetResult(row, text, !text.isEmpty());
        if (first < 0 && !text.isEmpty()) {
            first = row;
        }
    }
    FitResults();
    if (first >= 0) {
        // The first fault in sight; the rows the table may just have been given laid out first.
        m_table->doItemsLayout();
        m_table->scrollToItem(m_table->item(first, 0));
    }
    if (faults.empty()) {
        SetStatus(tr("名单无误：%1 块手表").arg(m_list.entries.size()));
    } else {
        SetStatus(tr("名单有 %1 处错误").arg(faults.size()));
        if (!general.isEmpty()) {
            ShowMessage(general, Caption());
        }
    }
    return faults.empty();
}

void CWatchListPage::SetEditable(bool editable) {
    for (QWidget* control :
         std::initializer_list<QWidget*>{m_import, m_add, m_remove, m_check, m_writeAll, m_gap, m_syncTime}) {
        control->setEnabled(editable);
    }
    m_table->setEditTriggers(editable ? QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                                            QAbstractItemView::AnyKeyPressed
                                      : QAbstractItemView::NoEditTriggers);
    m_stop->setEnabled(!editable);
}

void CWatchListPage::OnWriteAll() {
    if (m_writing || !OnCheck()) {
        return; // nothing is sent while a fault remains
    }
    const int total = static_cast<int>(velkor::FrameCount(m_list)) + (m_syncTime->isChecked() ? 1 : 0);
    for (int row = 0; row < m_table->rowCount(); ++row) {
        SetResult(row, tr("等待"));
    }
    m_progress->setRange(0, std::max(total, 1));
    m_progress->setValue(0);
    m_progress->setFormat(QStringLiteral("%v/%m"));
    m_writing = true;
    m_stopRequested = false;
    m_row = -1;
    m_frames.clear();
    m_next = 0;
    m_timeSent = !m_syncTime->isChecked();
    SetEditable(false);
    m_pace.start(0);
}

void CWatchListPage::OnStop() {
    if (m_writing) {
        m_stopRequested = true;
        m_pace.start(0); // a long gap need not be waited out
    }
}

void CWatchListPage::WriteNext() {
    if (m_stopRequested) {
        if (m_row >= 0 && m_next > 0 && m_next < m_frames.size()) {
            SetResult(m_row, tr("已停止：写入 %1/%2 帧").arg(m_next).arg(m_frames.size()), true);
        } else if (m_row >= 0 && m_next == 0 && !m_frames.empty()) {
            SetResult(m_row, tr("未发送（已停止）"));
        }
        for (int row = m_row + 1; row < m_table->rowCount(); ++row) {
            SetResult(row, tr("未发送（已停止）"));
        }
        Finish(tr("已停止"));
        return;
    }
    // The next frame: of this row, or the first row after it that has one.
    while (m_next >= m_frames.size()) {
        if (m_row >= 0 && !m_frames.empty()) {
            SetResult(m_row, tr("已发送"));
        }
        if (m_row + 1 >= m_table->rowCount()) {
            if (!m_timeSent) {
                m_timeSent = true;
                const std::vector<uint8_t> time = velkor::BuildTimeFrameNow();
                if (!time.empty() && !Link().Send(time)) {
                    const QString reason = SendFailure();
                    SetStatus(QStringLiteral("Failed!"));
                    Finish(tr("同步时间失败：") + reason);
                    return;
                }
                m_progress->setValue(m_progress->value() + 1);
            }
            Finish(tr("全部写入完成"));
            return;
        }
        ++m_row;
        // Numbered as the row starts, from the wireless page's counter: a stopped run leaves no gaps.
        m_frames = velkor::EntryFrames(m_list.entries[static_cast<std::size_t>(m_row)],
                                       [this] { return m_sequence.Next(); });
        m_next = 0;
        if (m_frames.empty()) {
            SetResult(m_row, tr("无需发送"));
        } else {
            SetResult(m_row, tr("发送中"));
            m_table->scrollToItem(m_table->item(m_row, 0));
        }
    }
    if (!Link().Send(m_frames[m_next].bytes)) {
        const QString reason = SendFailure();
        SetResult(m_row, tr("失败：") + reason, true);
        for (int row = m_row + 1; row < m_table->rowCount(); ++row) {
            SetResult(row, tr("未发送"));
        }
        Finish(tr("写入失败：") + reason);
        return;
    }
    ++m_next;
    m_progress->setValue(m_progress->value() + 1);
    m_pace.start(m_gap->value());
}

void CWatchListPage::FitResults() {
    m_table->resizeColumnToContents(kResultColumn);
    // A long fault stays whole in its tooltip.
    m_table->setColumnWidth(kResultColumn, std::min(m_table->columnWidth(kResultColumn), 240));
}

void CWatchListPage::Finish(const QString& status) {
    FitResults();
    m_writing = false;
    m_stopRequested = false;
    m_pace.stop();
    SetEditable(true);
    SetStatus(status);
}
