#include "oriel/ui/about_dlg.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>
#include <algorithm>

#include "platform/version.h"

namespace oriel {

namespace {

// Two parts so that a release only rewrites the head: the current version on
// top, the older ones below. The title lines above them come from the
// build's version, which the newest entry must name.
constexpr char kChangeLogHead[] =
    "------------------------------------------------------------\r\n"
    "v0.3  built 2026-12-08\r\n"
    "  Hardware : PCF5213 baseband; NOR Spansion S71WS128NC0, S71WS128PC0\r\n"
    "             handsets Tamarin2 (three images), Alder2 (one image)\r\n"
    "  Changes  :\r\n"
    "  - Operator console: tabs Tamarin2 and Alder2, COM, SPEED and\r\n"
    "    Mode lists, the device each COM number opens, START and Stop.\r\n"
    "  - Image rows with start address, size and CRC-32; DOWNLOAD,\r\n"
    "    All Download, Power ON after download.\r\n"
    "  - Sector dialog for Erase... and Dump...\r\n"
    "  - Settings kept between runs.\r\n"
    "  - Installs as a Debian package with menu entries, manual pages\r\n"
    "    and shell completion; the COM list shows the serial ports\r\n"
    "    present; a port that cannot be opened says why.\r\n";

constexpr char kChangeLogTail[] =
    "------------------------------------------------------------\r\n"
    "v0.2  built 2026-12-08\r\n"
    "  Hardware : PCF5213 baseband; NOR Spansion S71WS128NC0, S71WS128PC0\r\n"
    "  Changes  :\r\n"
    "  - NOR sector map (134 sectors), binary download sector by\r\n"
    "    sector with CRC-32 and sector sums, All Download.\r\n"
    "  - NOR erase and NOR dump of selected sectors.\r\n"
    "------------------------------------------------------------\r\n"
    "v0.1  built 2026-12-08\r\n"
    "  Hardware : PCF5213 baseband; NOR Spansion S71WS128NC0, S71WS128PC0\r\n"
    "  Changes  :\r\n"
    "  - Boot-ROM handshake in Mode Normal and TAT, pre-loader into\r\n"
    "    SCRAM, rate change to 115200..921600 baud, full and fast\r\n"
    "    boot-loader, flash ID.\r\n"
    "------------------------------------------------------------\r\n";

}  // namespace

std::string ConsoleTitle() {
    return std::string("Alder2 Downloader v") + platform::SuiteVersion();
}

std::string ChangeLogText() {
    return ConsoleTitle() + "\r\n" + platform::VersionLine("oriel_downloader") +
           "\r\nORIEL Tools\r\n\r\n" + kChangeLogHead + kChangeLogTail;
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("About Downloader");
    auto* pLayout = new QVBoxLayout(this);
    auto* pText = new QPlainTextEdit;
    pText->setReadOnly(true);
    pText->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    pText->setLineWrapMode(QPlainTextEdit::NoWrap);
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSize(9);
    pText->setFont(font);
    QString text = QString::fromStdString(ChangeLogText());
    text.remove('\r');
    pText->setPlainText(text);
    pLayout->addWidget(pText);
    auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Ok);
    pButtons->button(QDialogButtonBox::Ok)->setText("OK");
    connect(pButtons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    pLayout->addWidget(pButtons);
    int nWidth = 0;
    for (const QString& line : text.split('\n')) {
        nWidth = std::max(nWidth, pText->fontMetrics().horizontalAdvance(line));
    }
    resize(nWidth + pText->verticalScrollBar()->sizeHint().width() + 48, 460);
}

}  // namespace oriel
