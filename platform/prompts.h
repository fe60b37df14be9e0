#pragma once
// Everything that stops and asks the operator goes through this interface, so
// the dialogs, the command line and the tests can each answer in their own way.

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

enum class MsgButtons { Ok, YesNo, OkCancel };
enum class MsgIcon { None, Information, Warning, Error, Question };
// Cancel: CANCEL pressed, or an OK or OK/CANCEL box dismissed with Esc or its
// close box. A Yes/No box dismissed that way answers No.
enum class MsgAnswer { Ok, Yes, No, Cancel };
// The button Enter presses: the first (OK, Yes) unless the box says otherwise.
enum class MsgDefault { First, Second };

struct FileDialogRequest {
    std::string strStartPath;       // file or folder the dialog opens at
    std::string strDefaultExt;      // e.g. ".bin"
    std::string strFilter;          // "bin file (*.bin)|*.bin|all files (*.*)|*.*||"
    bool bPromptOverwrite = false;  // save dialogs only
};

struct SectorChoiceRequest {
    std::vector<std::string> lines;  // one text per selectable line
};

class IPrompts {
  public:
    virtual ~IPrompts() = default;

    // Modal; returns the button pressed. Must be called on the UI thread.
    MsgAnswer MessageBox(const std::string& text, MsgButtons buttons = MsgButtons::Ok,
                         MsgIcon icon = MsgIcon::None, MsgDefault def = MsgDefault::First) {
        return ShowMessageBox(text, buttons, icon, def);
    }
    // Empty string: cancelled.
    virtual std::string OpenFile(const FileDialogRequest& request) = 0;
    virtual std::string SaveFile(const FileDialogRequest& request) = 0;
    // An existing folder, opened at strStartFolder; empty string: cancelled.
    virtual std::string PickFolder(const std::string& strStartFolder) = 0;
    // flags has one entry per line, cleared by the caller; the picker ticks
    // entries and returns true only when the operator chose to start.
    virtual bool SelectSectors(const SectorChoiceRequest& request, std::vector<uint8_t>& flags) = 0;

  protected:
    virtual MsgAnswer ShowMessageBox(const std::string& text, MsgButtons buttons, MsgIcon icon,
                                     MsgDefault def) = 0;
};

// Splits an MFC-style filter ("name|pattern|name|pattern||") into name/pattern pairs.
std::vector<std::pair<std::string, std::string>> ParseFileFilter(const std::string& filter);

}  // namespace platform
