#include "oriel/ui/sector_dlg.h"

#include <QComboBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "oriel/ui/control_ids.h"
#include "platform/format.h"
#include "platform/prompts.h"

namespace oriel {

CSectorDlg::CSectorDlg(const std::vector<std::string>& lines, std::vector<uint8_t>& flags,
                       platform::IPrompts& prompts, QWidget* parent)
    : QDialog(parent), m_flags(flags), m_prompts(prompts) {
    setWindowTitle("Flash Sector Information");
    const auto Button = [this](int nId, const char* pszText) {
        auto* p = new QPushButton(pszText);
        p->setAutoDefault(false);
        m_controls[nId] = p;
        return p;
    };

    m_pList = new QListWidget;
    m_controls[IDC_SECTOR_LIST] = m_pList;
    m_pList->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_pList->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pList->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    // Only lines that have a flag behind them are offered.
    const size_t nLines = std::min(lines.size(), flags.size());
    for (size_t i = 0; i < nLines; ++i) {
        auto* pItem = new QListWidgetItem(QString::fromStdString(lines[i]), m_pList);
        // Not user-checkable: a click on the box leaves it as it is.
        pItem->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    }
    m_pFrom = new QComboBox;
    m_pTo = new QComboBox;
    m_controls[IDC_SECTOR_FROM] = m_pFrom;
    m_controls[IDC_SECTOR_TO] = m_pTo;
    for (size_t i = 0; i < nLines; ++i) {
        const QString index = QString::fromStdString(platform::Format("%03d", static_cast<int>(i)));
        m_pFrom->addItem(index);
        m_pTo->addItem(index);
    }
    m_pFrom->setCurrentIndex(0);
    m_pTo->setCurrentIndex(0);
    for (size_t i = 0; i < nLines; ++i) {
        ShowTick(static_cast<int>(i));
    }

    auto* pRange = new QGridLayout;
    pRange->addWidget(new QLabel("From"), 0, 0);
    pRange->addWidget(m_pFrom, 0, 1);
    pRange->addWidget(new QLabel("To"), 1, 0);
    pRange->addWidget(m_pTo, 1, 1);
    pRange->addWidget(Button(IDC_SECTOR_SELECT, "Select"), 2, 0, 1, 2);

    auto* pSide = new QVBoxLayout;
    pSide->addLayout(pRange);
    pSide->addSpacing(8);
    pSide->addWidget(Button(IDC_SECTOR_ALL, "Select\n  All"));
    pSide->addWidget(Button(IDC_SECTOR_CLEAR, "Clear\n All"));
    pSide->addWidget(Button(IDC_SECTOR_INVERT, " Invert\nSelection"));
    pSide->addSpacing(8);
    pSide->addWidget(Button(IDC_SECTOR_E2P, "Select\n  E2P"));
    pSide->addWidget(Button(IDC_SECTOR_DEBUG, "Select\nDebug"));
    pSide->addStretch(1);
    auto* pStart = Button(IDC_SECTOR_START, "START");
    pStart->setAutoDefault(true);
    pStart->setDefault(true);
    pSide->addWidget(pStart);
    pSide->addWidget(Button(IDC_SECTOR_EXIT, "EXIT"));

    auto* pLayout = new QHBoxLayout(this);
    pLayout->addWidget(m_pList, 1);
    pLayout->addLayout(pSide);

    const auto Clicked = [this](int nId, auto fn) {
        connect(ControlAs<QPushButton>(nId), &QPushButton::clicked, this, fn);
    };
    Clicked(IDC_SECTOR_SELECT, [this] { OnSelect(); });
    Clicked(IDC_SECTOR_ALL, [this] { SetAll(1); });
    Clicked(IDC_SECTOR_CLEAR, [this] { SetAll(0); });
    Clicked(IDC_SECTOR_INVERT, [this] { Invert(); });
    Clicked(IDC_SECTOR_E2P, [this] { SetRange(kE2pFirst, kE2pLast); });
    Clicked(IDC_SECTOR_DEBUG, [this] { SetRange(kDebugFirst, kDebugLast); });
    Clicked(IDC_SECTOR_START, [this] { accept(); });
    Clicked(IDC_SECTOR_EXIT, [this] { reject(); });
    connect(m_pList, &QListWidget::itemDoubleClicked, this,
            [this](QListWidgetItem* pItem) { Toggle(m_pList->row(pItem)); });

    const int nLineWidth =
        m_pList->fontMetrics().horizontalAdvance("000: 0x10000000 ~ 0x10007FFF (128KBytes)");
    resize(nLineWidth + 220, 520);
}

bool CSectorDlg::Pick(QWidget* parent, platform::IPrompts& prompts,
                      const platform::SectorChoiceRequest& request, std::vector<uint8_t>& flags) {
    CSectorDlg dlg(request.lines, flags, prompts, parent);
    return dlg.exec() == QDialog::Accepted;
}

QWidget* CSectorDlg::Control(int nId) const {
    const auto it = m_controls.find(nId);
    return it == m_controls.end() ? nullptr : it->second;
}

void CSectorDlg::ShowTick(int nIndex) {
    QListWidgetItem* pItem = m_pList->item(nIndex);
    if (pItem != nullptr) {
        pItem->setCheckState(m_flags[static_cast<size_t>(nIndex)] != 0 ? Qt::Checked
                                                                       : Qt::Unchecked);
    }
}

void CSectorDlg::OnSelect() {
    const int nFirst = m_pFrom->currentIndex();
    const int nLast = m_pTo->currentIndex();
    if (nLast < nFirst) {
        m_prompts.MessageBox("Selection Error!", platform::MsgButtons::Ok, platform::MsgIcon::None);
        return;
    }
    SetRange(nFirst, nLast);
}

void CSectorDlg::SetRange(int nFirst, int nLast) {
    // Ranges only add ticks; a short table simply has fewer lines to tick.
    const int nEnd = std::min(nLast, m_pList->count() - 1);
    for (int i = std::max(nFirst, 0); i <= nEnd; ++i) {
        m_flags[static_cast<size_t>(i)] = 1;
        ShowTick(i);
    }
}

void CSectorDlg::SetAll(int nValue) {
    for (int i = 0; i < m_pList->count(); ++i) {
        m_flags[static_cast<size_t>(i)] = static_cast<uint8_t>(nValue);
        ShowTick(i);
    }
}

void CSectorDlg::Invert() {
    for (int i = 0; i < m_pList->count(); ++i) {
        m_flags[static_cast<size_t>(i)] = m_flags[static_cast<size_t>(i)] != 0 ? 0 : 1;
        ShowTick(i);
    }
}

void CSectorDlg::Toggle(int nIndex) {
    if (nIndex < 0 || nIndex >= m_pList->count()) {
        return;
    }
    m_flags[static_cast<size_t>(nIndex)] = m_flags[static_cast<size_t>(nIndex)] != 0 ? 0 : 1;
    ShowTick(nIndex);
}

}  // namespace oriel
