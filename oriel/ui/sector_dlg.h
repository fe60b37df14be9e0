#pragma once
// "Flash Sector Information": the operator ticks the NOR sectors an erase or
// a dump works on. Ticks change only by a double-click on a line and by the
// buttons, so a stray click on a check box cannot add a sector.

#include <QDialog>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

class QComboBox;
class QListWidget;

namespace platform {
class IPrompts;
struct SectorChoiceRequest;
}  // namespace platform

namespace oriel {

class CSectorDlg : public QDialog {
  public:
    // flags has one entry per line (the caller cleared them); every change is
    // shown at once in the line's check mark.
    CSectorDlg(const std::vector<std::string>& lines, std::vector<uint8_t>& flags,
               platform::IPrompts& prompts, QWidget* parent = nullptr);

    // The sector picker of the console's prompts: true only on START.
    static bool Pick(QWidget* parent, platform::IPrompts& prompts,
                     const platform::SectorChoiceRequest& request, std::vector<uint8_t>& flags);

    QWidget* Control(int nId) const;
    template <class T>
    T* ControlAs(int nId) const {
        return qobject_cast<T*>(Control(nId));
    }

    static constexpr int kE2pFirst = 67;
    static constexpr int kE2pLast = 80;
    static constexpr int kDebugFirst = 99;
    static constexpr int kDebugLast = 111;

  private:
    void OnSelect();
    void SetRange(int nFirst, int nLast);
    void SetAll(int nValue);
    void Invert();
    void Toggle(int nIndex);
    void ShowTick(int nIndex);

    std::vector<uint8_t>& m_flags;
    platform::IPrompts& m_prompts;
    std::map<int, QWidget*> m_controls;
    QListWidget* m_pList = nullptr;
    QComboBox* m_pFrom = nullptr;
    QComboBox* m_pTo = nullptr;
};

}  // namespace oriel
