#include "fleet/ui/fleet_controls.h"

#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

#include "platform/format.h"

namespace fleet {

QColor ColourOfRef(uint32_t nRef) {
    return QColor(static_cast<int>(nRef & 0xFF), static_cast<int>((nRef >> 8) & 0xFF),
                  static_cast<int>((nRef >> 16) & 0xFF));
}

CColorLabel::CColorLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
    setAlignment(Qt::AlignCenter);
    setAutoFillBackground(true);
    setMinimumWidth(70);
}

// A palette change reaches every child and repaints: eight slots refreshed
// on every worker message must not pay it when nothing changed.
void CColorLabel::SetTextColour(int64_t nRef) {
    if (nRef == m_nText) {
        return;
    }
    m_nText = nRef;
    Apply();
}

void CColorLabel::SetBackgroundColour(int64_t nRef) {
    if (nRef == m_nBackground) {
        return;
    }
    m_nBackground = nRef;
    Apply();
}

void CColorLabel::SetTransparent(bool b) {
    m_bTransparent = b;
    Apply();
}

void CColorLabel::Apply() {
    QPalette pal = palette();
    const QPalette defaults;
    pal.setColor(QPalette::WindowText, m_nText < 0 ? defaults.color(QPalette::ButtonText)
                                                   : ColourOfRef(static_cast<uint32_t>(m_nText)));
    pal.setColor(QPalette::Window, m_nBackground < 0
                                       ? defaults.color(QPalette::Button)
                                       : ColourOfRef(static_cast<uint32_t>(m_nBackground)));
    setAutoFillBackground(!m_bTransparent);
    setPalette(pal);
    update();
}

CTextProgressCtrl::CTextProgressCtrl(QWidget* parent) : QWidget(parent) {
    setMinimumHeight(20);
}

void CTextProgressCtrl::SetRange(int nLower, int nUpper) {
    m_nLower = nLower;
    m_nUpper = nUpper;
    m_nLastBarWidth = -1;
    update();
}

int CTextProgressCtrl::BarWidth() const {
    if (m_nUpper <= m_nLower) {
        return 0;
    }
    const double fraction = static_cast<double>(m_nPos - m_nLower) / (m_nUpper - m_nLower);
    return static_cast<int>(width() * std::clamp(fraction, 0.0, 1.0));
}

void CTextProgressCtrl::SetPos(int nPos) {
    m_nPos = nPos;
    const int w = BarWidth();
    if (w != m_nLastBarWidth) {
        m_nLastBarWidth = w;
        ++m_nRepaints;
        repaint();
    }
}

void CTextProgressCtrl::SetText(const std::string& text) {
    if (text == m_strText) {
        return;
    }
    m_strText = text;
    update();
}

void CTextProgressCtrl::SetShowText(bool b) {
    m_bShowText = b;
    update();
}

void CTextProgressCtrl::paintEvent(QPaintEvent*) {
    if (m_nUpper <= m_nLower) {
        return;
    }
    QPainter p(this);
    const QRect all = rect();
    const int w = BarWidth();
    const QRect bar(all.left(), all.top(), w, all.height());
    const QRect rest(all.left() + w, all.top(), all.width() - w, all.height());
    p.fillRect(bar, palette().color(QPalette::Highlight));
    p.fillRect(rest, palette().color(QPalette::Base));
    if (!m_bShowText) {
        return;
    }
    const double fraction = static_cast<double>(m_nPos - m_nLower) / (m_nUpper - m_nLower);
    const QString text =
        m_strText.empty()
            ? QString::fromStdString(platform::Format("%d%%", static_cast<int>(fraction * 100)))
            : QString::fromStdString(m_strText);
    // The text in two colours: one over the bar, the other over the rest.
    p.setClipRect(bar);
    p.setPen(palette().color(QPalette::Base));
    p.drawText(all, Qt::AlignCenter | Qt::TextSingleLine, text);
    p.setClipRect(rest);
    p.setPen(palette().color(QPalette::Highlight));
    p.drawText(all, Qt::AlignCenter | Qt::TextSingleLine, text);
}

CSlotLogDlg::CSlotLogDlg(int nSlot, const std::string& log, QWidget* parent) : QDialog(parent) {
    setWindowTitle("Log Messages");
    // Tahoma 10, or the closest face installed.
    setFont(QFont("Tahoma", 10));
    auto* pLayout = new QVBoxLayout(this);
    m_pHeading = new QLabel(QString::fromStdString(platform::Format("Thread %d Log:", nSlot + 1)));
    m_pText = new QPlainTextEdit;
    m_pText->setReadOnly(true);
    QString text = QString::fromStdString(log);
    text.replace("\r\n", "\n");
    m_pText->setPlainText(text);
    m_pText->verticalScrollBar()->setValue(m_pText->verticalScrollBar()->maximum());
    auto* pOk = new QPushButton("OK");
    connect(pOk, &QPushButton::clicked, this, &QDialog::accept);
    pLayout->addWidget(m_pHeading);
    pLayout->addWidget(m_pText);
    pLayout->addWidget(pOk, 0, Qt::AlignRight);
    resize(520, 420);
}

QString CSlotLogDlg::Heading() const {
    return m_pHeading->text();
}

QString CSlotLogDlg::Body() const {
    return m_pText->toPlainText();
}

}  // namespace fleet
