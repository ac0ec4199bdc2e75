// Where the Linux builder's message boxes appear: on the terminal, or, while a window system has
// installed its face, as that system's modal boxes.
#pragma once

#include <string>

namespace prdialogs {

enum class BoxKind { Error, Information };

class BoxFace {
  public:
    virtual ~BoxFace() = default;
    // `caption` and `text` are UTF-8; the text keeps its CR LF line breaks.
    virtual void Show(BoxKind kind, const std::string& caption, const std::string& text) = 0;
    virtual bool Ask(const std::string& caption, const std::string& text, bool yesIsDefault) = 0;
};

// Installs `face` (null: the terminal again). The caller keeps it alive while it is installed.
void SetBoxFace(BoxFace* face);

} // namespace prdialogs
