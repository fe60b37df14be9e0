#pragma once
// The multi-slot window's own controls: the colour label of a slot, the text
// progress bar, and the window that shows a slot's log.

#include <QDialog>
#include <QLabel>
#include <QWidget>
#include <cstdint>
#include <string>

class QPlainTextEdit;

namespace fleet {

// Colours are references as the window keeps them: 0x00BBGGRR.
QColor ColourOfRef(uint32_t nRef);

class CColorLabel : public QLabel {
  public:
    explicit CColorLabel(const QString& text, QWidget* parent = nullptr);
    // -1 = the style's default.
    void SetTextColour(int64_t nRef);
    void SetBackgroundColour(int64_t nRef);
    void SetTransparent(bool b);
    int64_t BackgroundColour() const { return m_nBackground; }
    int64_t TextColour() const { return m_nText; }

  private:
    void Apply();
    int64_t m_nText = -1;
    int64_t m_nBackground = -1;
    bool m_bTransparent = false;
};

class CTextProgressCtrl : public QWidget {
  public:
    explicit CTextProgressCtrl(QWidget* parent = nullptr);
    void SetRange(int nLower, int nUpper);
    // Repaints only when the bar's width in pixels changes.
    void SetPos(int nPos);
    int Pos() const { return m_nPos; }
    void SetText(const std::string& text);
    const std::string& Text() const { return m_strText; }
    void SetShowText(bool b);
    // Repaints asked for by SetPos (for tests of the repaint rule).
    int Repaints() const { return m_nRepaints; }
    QSize sizeHint() const override { return {260, 22}; }

  protected:
    void paintEvent(QPaintEvent* e) override;

  private:
    int BarWidth() const;
    int m_nLower = 0;
    int m_nUpper = 100;
    int m_nPos = 0;
    bool m_bShowText = true;
    std::string m_strText;
    int m_nLastBarWidth = -1;
    int m_nRepaints = 0;
};

class CSlotLogDlg : public QDialog {
  public:
    // A snapshot of the slot's log, shown modally.
    CSlotLogDlg(int nSlot, const std::string& log, QWidget* parent = nullptr);
    QString Heading() const;
    QString Body() const;

  private:
    QLabel* m_pHeading = nullptr;
    QPlainTextEdit* m_pText = nullptr;
};

}  // namespace fleet
