// The message boxes of the Linux window: Qt message boxes over the main window, with the
// language row's captions and the same icons and default buttons as on Windows.
#include "box_face.h"
#include "boxes.h"
#include "form_qt.h"

#include <QMessageBox>

namespace prdialogs {

namespace {

QWidget* Owner() {
    return static_cast<QWidget*>(ApplicationWindow());
}

class QtBoxFace : public BoxFace {
  public:
    void Show(BoxKind kind, const std::string& caption, const std::string& text) override {
        QMessageBox box(kind == BoxKind::Error ? QMessageBox::Critical : QMessageBox::Information,
                        FromUtf8(caption), BoxText(text), QMessageBox::Ok, Owner());
        box.setTextFormat(Qt::PlainText);
        box.exec();
    }

    bool Ask(const std::string& caption, const std::string& text, bool yesIsDefault) override {
        QMessageBox box(QMessageBox::Question, FromUtf8(caption), BoxText(text),
                        QMessageBox::Yes | QMessageBox::No, Owner());
        box.setTextFormat(Qt::PlainText);
        box.setDefaultButton(yesIsDefault ? QMessageBox::Yes : QMessageBox::No);
        return box.exec() == QMessageBox::Yes;
    }
};

QtBoxFace g_qtBoxes;

} // namespace

void UseQtBoxes(bool on) {
    SetBoxFace(on ? &g_qtBoxes : nullptr);
}

} // namespace prdialogs
