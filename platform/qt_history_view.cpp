#include "platform/qt_history_view.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSaveFile>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QStandardItemModel>
#include <QTableView>
#include <QVBoxLayout>

#include "platform/history/history_command.h"
#include "platform/history/history_output.h"
#include "platform/prompts.h"

namespace platform {

namespace {

constexpr int kSortRole = Qt::UserRole + 1;

enum Column {
    kColId,
    kColStarted,
    kColTime,
    kColResult,
    kColCode,
    kColFailure,
    kColOperation,
    kColPort,
    kColDevice,
    kColSerial,
    kColFlashId,
    kColStation,
    kColFrontEnd,
    kColProgram,
    kColBytes,
    kColImages,
    kColumnCount
};

const char* const kHeadings[kColumnCount] = {
    "ID",        "Started (UTC)", "Time",   "Result",          "Code",     "Failure",
    "Operation", "Port/Slot",     "Device", "USB serial",      "Flash ID", "Station",
    "Front end", "Program",       "Bytes",  "Images (SHA-256)"};

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

QStandardItem* Item(const QString& text, const QVariant& sortValue) {
    auto* item = new QStandardItem(text);
    item->setData(sortValue, kSortRole);
    item->setEditable(false);
    return item;
}

QStandardItem* Item(const std::string& text) {
    return Item(Q(text), Q(text));
}

}  // namespace

std::unique_ptr<history::CHistoryRecorder> StartWindowRecorder(
    const history::HistoryProgram& program, QObject* pWindow,
    std::function<void(const std::string&)> fnShow, history::HistoryConfig& config) {
    std::string warning;
    std::string error;
    history::ResolveForRecording(program, {}, {}, config, warning, error);
    QPointer<QObject> target(pWindow);
    auto say = [target, fnShow](const std::string& text) {
        QMetaObject::invokeMethod(
            target,
            [target, fnShow, text] {
                if (target != nullptr) {
                    fnShow(text);
                }
            },
            Qt::QueuedConnection);
    };
    if (!warning.empty()) {
        say(warning);
    }
    return history::StartRecorder(config, say);
}

CHistoryView::CHistoryView(const history::HistoryProgram& program, history::HistoryTarget target,
                           IPrompts& prompts, QWidget* parent)
    : QDialog(parent), m_program(program), m_target(std::move(target)), m_prompts(prompts) {
    setWindowTitle(QStringLiteral("History - %1 (%2)")
                       .arg(QLatin1String(program.pszProgram), Q(m_target.Display())));
    Build();
    m_worker = std::thread([this] { WorkerLoop(); });
    Search();
}

CHistoryView::~CHistoryView() {
    {
        const std::lock_guard<std::mutex> guard(m_lock);
        m_bStop = true;
        m_work.clear();
    }
    m_wake.notify_one();
    if (m_worker.joinable()) {
        m_worker.join();
    }
}

QLineEdit* CHistoryView::Field(const char* pszName) const {
    const std::string name = pszName;
    return name == "since"     ? m_pSince
           : name == "until"   ? m_pUntil
           : name == "device"  ? m_pDevice
           : name == "station" ? m_pStation
           : name == "image"   ? m_pImage
                               : nullptr;
}

void CHistoryView::Build() {
    auto* pMain = new QVBoxLayout(this);
    auto* pFilters = new QHBoxLayout;
    auto field = [&](const char* pszLabel, const char* pszHint, int nWidth) {
        pFilters->addWidget(new QLabel(QLatin1String(pszLabel)));
        auto* edit = new QLineEdit;
        edit->setPlaceholderText(QLatin1String(pszHint));
        edit->setMinimumWidth(nWidth);
        connect(edit, &QLineEdit::returnPressed, this, [this] { Search(); });
        pFilters->addWidget(edit);
        return edit;
    };
    m_pSince = field("Since:", "2026-01-05, 12h, 7d", 110);
    m_pUntil = field("Until:", "2026-01-06 08:00", 110);
    m_pDevice = field("Device:", "name, serial or port", 120);
    m_pStation = field("Station:", "", 80);
    m_pImage = field("Image SHA-256:", "8+ hex digits", 100);
    m_pFailed = new QCheckBox(QStringLiteral("Failed only"));
    m_pAllPrograms = new QCheckBox(QStringLiteral("All programs"));
    pFilters->addWidget(m_pFailed);
    pFilters->addWidget(m_pAllPrograms);
    auto* pSearch = new QPushButton(QStringLiteral("Search"));
    connect(pSearch, &QPushButton::clicked, this, [this] { Search(); });
    pFilters->addWidget(pSearch);
    pMain->addLayout(pFilters);

    auto* pQuickRow = new QHBoxLayout;
    pQuickRow->addWidget(new QLabel(QStringLiteral("Show rows containing:")));
    m_pQuick = new QLineEdit;
    pQuickRow->addWidget(m_pQuick, 1);
    m_pStatus = new QLabel;
    pQuickRow->addWidget(m_pStatus, 2);
    pMain->addLayout(pQuickRow);

    m_pModel = new QStandardItemModel(0, kColumnCount, this);
    for (int c = 0; c < kColumnCount; ++c) {
        m_pModel->setHeaderData(c, Qt::Horizontal, QLatin1String(kHeadings[c]));
    }
    m_pProxy = new QSortFilterProxyModel(this);
    m_pProxy->setSourceModel(m_pModel);
    m_pProxy->setSortRole(kSortRole);
    m_pProxy->setFilterKeyColumn(-1);
    m_pProxy->setFilterCaseSensitivity(Qt::CaseInsensitive);
    connect(m_pQuick, &QLineEdit::textChanged, m_pProxy,
            &QSortFilterProxyModel::setFilterFixedString);

    m_pTable = new QTableView;
    m_pTable->setModel(m_pProxy);
    m_pTable->setSortingEnabled(true);
    m_pTable->sortByColumn(kColId, Qt::DescendingOrder);
    m_pTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pTable->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pTable->verticalHeader()->hide();
    m_pTable->horizontalHeader()->setStretchLastSection(true);
    connect(m_pTable->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this] { ShowSelectedLog(); });

    m_pLog = new QPlainTextEdit;
    m_pLog->setReadOnly(true);
    m_pLog->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_pLog->setPlaceholderText(QStringLiteral("The log of the selected job"));
    auto* pSplit = new QSplitter(Qt::Vertical);
    pSplit->addWidget(m_pTable);
    pSplit->addWidget(m_pLog);
    pSplit->setStretchFactor(0, 3);
    pSplit->setStretchFactor(1, 2);
    pMain->addWidget(pSplit, 1);

    auto* pButtons = new QHBoxLayout;
    auto* pExport = new QPushButton(QStringLiteral("Export CSV..."));
    connect(pExport, &QPushButton::clicked, this, [this] { ExportCsv(); });
    pButtons->addWidget(pExport);
    pButtons->addStretch(1);
    auto* pClose = new QPushButton(QStringLiteral("Close"));
    connect(pClose, &QPushButton::clicked, this, &QDialog::close);
    pButtons->addWidget(pClose);
    pMain->addLayout(pButtons);
    resize(1100, 640);
}

void CHistoryView::WorkerLoop() {
    history::CHistoryStore store;
    for (;;) {
        std::function<void(history::CHistoryStore&)> work;
        {
            std::unique_lock<std::mutex> lock(m_lock);
            m_wake.wait(lock, [this] { return m_bStop || !m_work.empty(); });
            if (m_bStop) {
                return;
            }
            work = std::move(m_work.front());
            m_work.pop_front();
        }
        work(store);
    }
}

void CHistoryView::Post(std::function<void(history::CHistoryStore&)> work) {
    ++m_nPending;
    {
        const std::lock_guard<std::mutex> guard(m_lock);
        m_work.push_back(std::move(work));
    }
    m_wake.notify_one();
}

void CHistoryView::Search() {
    history::HistoryFilter filter;
    const int64_t now = history::NowUtcMs();
    std::string error;
    auto bound = [&](QLineEdit* edit, int64_t& nMs) {
        const std::string text = edit->text().trimmed().toStdString();
        return text.empty() || history::ParseTimeBound(text, now, nMs, error);
    };
    if (!bound(m_pSince, filter.nSinceMs) || !bound(m_pUntil, filter.nUntilMs)) {
        m_pStatus->setText(Q(error));
        return;
    }
    filter.strDevice = m_pDevice->text().trimmed().toStdString();
    filter.strStation = m_pStation->text().trimmed().toStdString();
    filter.strImageSha = m_pImage->text().trimmed().toStdString();
    filter.bFailedOnly = m_pFailed->isChecked();
    filter.strProgram = m_pAllPrograms->isChecked() ? std::string() : m_program.pszProgram;
    filter.nLimit = kRowLimit;
    m_pStatus->setText(QStringLiteral("Reading..."));
    const unsigned nGeneration = ++m_nGeneration;
    const history::HistoryTarget target = m_target;
    Post([this, filter, nGeneration, target](history::CHistoryStore& store) {
        std::vector<history::JobRow> rows;
        std::string why;
        if (store.IsOpen() || store.Open(target, why)) {
            if (!store.Query(filter, rows, why)) {
                store.Close();  // connected again next time
            }
        }
        QMetaObject::invokeMethod(
            this,
            [this, rows = std::move(rows), why, nGeneration]() mutable {
                --m_nPending;
                if (nGeneration == m_nGeneration) {
                    ShowRows(std::move(rows), why);
                }
            },
            Qt::QueuedConnection);
    });
}

void CHistoryView::ShowRows(std::vector<history::JobRow> rows, const std::string& error) {
    m_pLog->clear();
    m_pModel->removeRows(0, m_pModel->rowCount());
    m_rows = std::move(rows);
    if (!error.empty()) {
        m_pStatus->setText(
            QStringLiteral("Cannot read %1: %2").arg(Q(m_target.Display()), Q(error)));
        return;
    }
    m_pTable->setSortingEnabled(false);
    for (size_t i = 0; i < m_rows.size(); ++i) {
        const history::JobRecord& r = m_rows[i].record;
        const int64_t nMs = r.nEndMs - r.nStartMs;
        QList<QStandardItem*> items(kColumnCount);
        items[kColId] = Item(QString::number(m_rows[i].nId), static_cast<qlonglong>(m_rows[i].nId));
        items[kColId]->setData(static_cast<qulonglong>(i), Qt::UserRole);
        items[kColStarted] = Item(history::ShortUtc(r.nStartMs));
        items[kColTime] = Item(Q(history::FormatDuration(nMs)), static_cast<qlonglong>(nMs));
        items[kColResult] = Item(r.bCompleted ? history::kResultCompleted : history::kResultFailed);
        if (!r.bCompleted) {
            items[kColResult]->setForeground(QColor(0xC0, 0, 0));
        }
        items[kColCode] = Item(r.strFailureCode);
        items[kColFailure] = Item(r.strFailureText);
        items[kColOperation] = Item(r.strOperation);
        items[kColPort] =
            r.nSlot > 0 ? Item(Q(history::PortOrSlot(r)), r.nSlot) : Item(history::PortOrSlot(r));
        items[kColDevice] = Item(r.strDevice);
        items[kColSerial] = Item(r.strUsbSerial);
        items[kColFlashId] = Item(r.strFlashId);
        items[kColStation] = Item(r.strStation);
        items[kColFrontEnd] = Item(r.strFrontEnd);
        items[kColProgram] = Item(r.strProgram);
        items[kColBytes] = Item(QString::number(r.nBytes), static_cast<qlonglong>(r.nBytes));
        items[kColImages] = Item(history::ImagesShort(r));
        m_pModel->appendRow(items);
    }
    m_pTable->setSortingEnabled(true);
    m_pTable->resizeColumnsToContents();
    m_pStatus->setText(m_rows.size() >= static_cast<size_t>(kRowLimit)
                           ? QStringLiteral("the newest %1 jobs; narrow the search for older ones")
                                 .arg(m_rows.size())
                           : QStringLiteral("%1 job(s)").arg(m_rows.size()));
}

void CHistoryView::ShowSelectedLog() {
    const QModelIndex current = m_pTable->selectionModel()->currentIndex();
    if (!current.isValid()) {
        m_pLog->clear();
        return;
    }
    const QModelIndex source = m_pProxy->mapToSource(current);
    const size_t row = m_pModel->item(source.row(), kColId)->data(Qt::UserRole).toULongLong();
    if (row >= m_rows.size()) {
        return;
    }
    const int64_t nId = m_rows[row].nId;
    const history::HistoryTarget target = m_target;
    m_pLog->setPlainText(QStringLiteral("Reading the log..."));
    Post([this, nId, target](history::CHistoryStore& store) {
        std::string log;
        std::string why;
        if ((store.IsOpen() || store.Open(target, why)) && !store.Log(nId, log, why)) {
            store.Close();
        }
        QMetaObject::invokeMethod(
            this,
            [this, nId, log = std::move(log), why] {
                --m_nPending;
                // Only if that job is still the one selected.
                const QModelIndex now = m_pTable->selectionModel()->currentIndex();
                if (!now.isValid()) {
                    return;
                }
                const size_t at = m_pModel->item(m_pProxy->mapToSource(now).row(), kColId)
                                      ->data(Qt::UserRole)
                                      .toULongLong();
                if (at < m_rows.size() && m_rows[at].nId == nId) {
                    QString text = why.empty() ? Q(log) : QStringLiteral("(%1)").arg(Q(why));
                    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
                    m_pLog->setPlainText(text);
                }
            },
            Qt::QueuedConnection);
    });
}

void CHistoryView::ExportCsv() {
    std::vector<history::JobRow> shown;
    for (int r = 0; r < m_pProxy->rowCount(); ++r) {
        const QModelIndex source = m_pProxy->mapToSource(m_pProxy->index(r, kColId));
        const size_t i = m_pModel->item(source.row(), kColId)->data(Qt::UserRole).toULongLong();
        if (i < m_rows.size()) {
            shown.push_back(m_rows[i]);
        }
    }
    FileDialogRequest request;
    request.strDefaultExt = ".csv";
    request.strFilter = "CSV file (*.csv)|*.csv|all files (*.*)|*.*||";
    request.bPromptOverwrite = true;
    const std::string path = m_prompts.SaveFile(request);
    if (path.empty()) {
        return;
    }
    const std::string csv = history::JobsCsv(shown);
    QSaveFile file(Q(path));
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(csv.data(), static_cast<qint64>(csv.size())) !=
            static_cast<qint64>(csv.size()) ||
        !file.commit()) {
        m_prompts.MessageBox(
            "The history could not be written to " + path + ": " + file.errorString().toStdString(),
            MsgButtons::Ok, MsgIcon::Error);
        return;
    }
    m_pStatus->setText(QStringLiteral("%1 job(s) written to %2").arg(shown.size()).arg(Q(path)));
}

}  // namespace platform
