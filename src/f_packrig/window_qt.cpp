// The main window Tfpackrig on Qt: three edit fields with browse buttons, the make button, two
// links and the busy label, at the same places as on Windows. Its behaviour lives in WindowLogic;
// this file lays it out, runs the dialogs and routes the events.
#include "window_qt.h"

#include "about.h"
#include "boxes.h"
#include "cmdline_window.h"
#include "form_qt.h"
#include "maker.h"
#include "settings_qt.h"
#include "window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QIcon>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

namespace fpackrig {

namespace {

// WM_AUTOMAKE as a posted Qt event with its two parameters.
class AutoMakeEvent : public QEvent {
  public:
    static QEvent::Type Type() {
        static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }
    AutoMakeEvent(unsigned w, long l) : QEvent(Type()), wParam(w), lParam(l) {}
    unsigned wParam;
    long lParam;
};

constexpr Qt::WindowFlags kWindowFlags =
    Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
    Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint;

class MainWindow : public QWidget, public WindowView {
  public:
    MainWindow(const WindowStart& start, const prutils::ResourceBytes& image);
    ~MainWindow() override { prdialogs::SetApplicationWindow(nullptr); }

    void Show();

    // WindowView
    void SetCaption(const std::string& caption) override {
        setWindowTitle(prdialogs::FromUtf8(caption));
        prdialogs::ApplicationTitle = caption;
    }
    std::string FieldText(Field field) override {
        return prdialogs::ToUtf8(FieldControl(field)->text());
    }
    void SetFieldText(Field field, const std::string& text) override {
        FieldControl(field)->setText(prdialogs::FromUtf8(text));
    }
    void ShowWaitLabel(bool busy) override;
    void SetEnabled(bool enabled) override { setEnabled(enabled); }
    void PumpMessages() override { QCoreApplication::processEvents(); }
    void PostAutoMake() override {
        QCoreApplication::postEvent(this, new AutoMakeEvent(WM_AUTOMAKE, WM_AUTOMAKE));
    }
    void ShowFailure(const std::string& caption, const std::string& text) override;
    // exit, not quit: quit does nothing unless exec() itself is running.
    void EndApplication() override { QCoreApplication::exit(0); }

  protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    QLabel* AddLabel(const char* name, const QString& text, QRect box, const QFont& font);
    prdialogs::LinkLabel* AddLink(const char* name, const QString& text, QPoint at,
                                  void (MainWindow::*onClick)(QLabel&));
    QPushButton* AddButton(const char* name, const QString& text, QRect box,
                           void (MainWindow::*onClick)());
    QLineEdit* AddEdit(const char* name, QRect box);
    bool FormKeyDown(QKeyEvent& key);
    QLineEdit* FieldControl(Field field) const {
        return field == Field::Source ? esource_ : field == Field::ExeFile ? eexefile_ : etarget_;
    }

    void bmakeClick() { logic_.bmakeClick(); }
    void bsourceClick();
    void bexefileClick();
    void btargetClick();
    void lwebClick(QLabel& label) { prdialogs::OpenWithDesktop(prdialogs::ToUtf8(label.text())); }
    void lcmdlineClick(QLabel&) {
        fcmdline::ShowCmdlineWindow(this, prdialogs::ToUtf8(windowTitle()));
    }

    QtSettings settings_;
    const prutils::ResourceBytes& image_;
    WindowLogic logic_;
    QLabel* lwait_ = nullptr;
    QLabel* lweb_ = nullptr;
    QLabel* lcmdline_ = nullptr;
    QPushButton* bmake_ = nullptr;
    QLineEdit* esource_ = nullptr;
    QLineEdit* etarget_ = nullptr;
    QLineEdit* eexefile_ = nullptr;
};

MainWindow::MainWindow(const WindowStart& start, const prutils::ResourceBytes& image)
    : QWidget(nullptr, kWindowFlags), image_(image),
      logic_(*this, settings_, start,
             [this, flags = start.flags](const std::string& source, const std::string& exe,
                                         const std::string& target, BuildHost& host) {
                 return BuildSfx(source, exe, target, flags, image_, host);
             }) {
    setObjectName("fpackrig");
    setWindowTitle(kDesignedCaption);
    setFixedSize(400, 200);
    setFont(prdialogs::FormFont());

    // In the order of creation: later controls lie above earlier ones.
    AddLabel("lsource", "Source directory:", {8, 8, 80, 13}, font());
    AddLabel("ltarget", "Target SFX file:", {8, 104, 73, 13}, font());
    lwait_ = AddLabel("lwait", kWaitText, {8, 160, 171, 32}, prdialogs::FormFont(27, true));
    QPalette red = lwait_->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        red.setColor(group, QPalette::WindowText, QColor(255, 0, 0));
    lwait_->setPalette(red);
    lwait_->hide();
    AddLabel("lexefile", "Executable file (from the source directory):", {8, 56, 197, 13}, font());
    lweb_ = AddLink("lweb", PACKRIG_WEB_HOST, {8, 176}, &MainWindow::lwebClick);
    lcmdline_ = AddLink("lcmdline", kCmdlineLinkText, {128, 176}, &MainWindow::lcmdlineClick);
    bmake_ = AddButton("bmake", kDesignedCaption, {304, 168, 91, 25}, &MainWindow::bmakeClick);
    bmake_->setFont(prdialogs::FormFont(11, true));
    bmake_->setDefault(true);
    esource_ = AddEdit("esource", {8, 24, 305, 21});
    QPushButton* bsource =
        AddButton("bsource", "Browse", {320, 24, 75, 25}, &MainWindow::bsourceClick);
    QPushButton* btarget =
        AddButton("btarget", "Browse", {320, 120, 75, 25}, &MainWindow::btargetClick);
    etarget_ = AddEdit("etarget", {8, 120, 305, 21});
    eexefile_ = AddEdit("eexefile", {8, 72, 305, 21});
    QPushButton* bexefile =
        AddButton("bexefile", "Browse", {320, 72, 75, 25}, &MainWindow::bexefileClick);

    QWidget* tabOrder[] = {esource_, bsource, eexefile_, bexefile, etarget_, btarget, bmake_};
    for (size_t i = 1; i < std::size(tabOrder); ++i)
        QWidget::setTabOrder(tabOrder[i - 1], tabOrder[i]);
    installEventFilter(this);

    prdialogs::SetApplicationWindow(this);
    logic_.FormCreate();
}

// Labels keep their place and grow where the substitute font needs more room than the layout.
QLabel* MainWindow::AddLabel(const char* name, const QString& text, QRect box, const QFont& font) {
    QLabel* label = prdialogs::AddLabel(this, text, box.left(), box.top(), font);
    label->setObjectName(name);
    label->resize(std::max(box.width(), label->width()), std::max(box.height(), label->height()));
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->installEventFilter(this);
    return label;
}

prdialogs::LinkLabel* MainWindow::AddLink(const char* name, const QString& text, QPoint at,
                                          void (MainWindow::*onClick)(QLabel&)) {
    auto* link =
        new prdialogs::LinkLabel(this, text, at.x(), at.y(), font(),
                                 [this, onClick](QLabel& label) { (this->*onClick)(label); });
    link->setObjectName(name);
    link->installEventFilter(this);
    return link;
}

QPushButton* MainWindow::AddButton(const char* name, const QString& text, QRect box,
                                   void (MainWindow::*onClick)()) {
    auto* button = new QPushButton(text, this);
    button->setObjectName(name);
    button->setGeometry(box);
    button->setAutoDefault(false);
    button->installEventFilter(this);
    connect(button, &QPushButton::clicked, this, [this, onClick] { (this->*onClick)(); });
    return button;
}

QLineEdit* MainWindow::AddEdit(const char* name, QRect box) {
    auto* edit = new QLineEdit(this);
    edit->setObjectName(name);
    edit->setGeometry(box);
    edit->installEventFilter(this);
    return edit;
}

void MainWindow::Show() {
    prdialogs::CentreOver(this, nullptr);
    show();
    bmake_->setFocus();
    logic_.FormShow();
}

bool MainWindow::event(QEvent* event) {
    if (event->type() == AutoMakeEvent::Type()) {
        auto* autoMake = static_cast<AutoMakeEvent*>(event);
        logic_.WMAutoMake(autoMake->wParam, autoMake->lParam);
        return true;
    }
    return QWidget::event(event);
}

// The window sees every key before its controls: F1 opens the about box, and Enter presses the
// button that has the focus or else the make button, as in a dialog.
bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && FormKeyDown(*static_cast<QKeyEvent*>(event)))
        return true;
    return QWidget::eventFilter(watched, event);
}

bool MainWindow::FormKeyDown(QKeyEvent& key) {
    if (key.key() == Qt::Key_F1) {
        prdialogs::ShowAboutBox();
        return true;
    }
    if (key.key() == Qt::Key_Return || key.key() == Qt::Key_Enter) {
        auto* focused = qobject_cast<QPushButton*>(QApplication::focusWidget());
        (focused && isAncestorOf(focused) ? focused : bmake_)->click();
        return true;
    }
    return false;
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (!logic_.FormCloseQuery()) {
        event->ignore();
        return;
    }
    event->accept();
    QCoreApplication::exit(0);
}

void MainWindow::ShowWaitLabel(bool busy) {
    if (busy) {
        lweb_->hide();
        lcmdline_->hide();
        lwait_->show();
    } else {
        lwait_->hide();
        lweb_->show();
        lcmdline_->show();
    }
}

void MainWindow::ShowFailure(const std::string& caption, const std::string& text) {
    QMessageBox box(QMessageBox::Critical, prdialogs::FromUtf8(caption), prdialogs::BoxText(text),
                    QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void MainWindow::bsourceClick() {
    QString current = esource_->text();
    QFileDialog dialog(this);
    dialog.setObjectName("bsourceDialog");
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    if (!current.isEmpty() && QFileInfo(current).isDir())
        dialog.setDirectory(current);
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        esource_->setText(dialog.selectedFiles().first());
}

void MainWindow::bexefileClick() {
    QFileDialog dialog(this);
    dialog.setObjectName("odexefile");
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile); // the chosen file need not exist
    // "*.*" would hide the names without a dot here, which Windows' "*.*" does not.
    dialog.setNameFilters({"Executable files (*.exe)", "Batch files (*.bat)", "All files (*)"});
    dialog.setDefaultSuffix("exe");
    if (!esource_->text().isEmpty())
        dialog.setDirectory(esource_->text());
    dialog.selectFile(eexefile_->text());
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        SetFieldText(Field::ExeFile,
                     NameWithoutFolder(prdialogs::ToUtf8(dialog.selectedFiles().first()),
                                       kPosixFolderMarks));
}

void MainWindow::btargetClick() {
    SaveDialogStart start = SplitTargetForSaveDialog(FieldText(Field::Target), kPosixFolderMarks);
    QFileDialog dialog(this);
    dialog.setObjectName("sdtarget");
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    // The build asks before it replaces an existing target.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setNameFilters({"Executable files (*.exe)"});
    dialog.setDefaultSuffix("exe");
    if (!start.folder.empty())
        dialog.setDirectory(prdialogs::FromUtf8(start.folder));
    dialog.selectFile(prdialogs::FromUtf8(start.name));
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        etarget_->setText(dialog.selectedFiles().first());
}

} // namespace

std::unique_ptr<QWidget> CreateMainWindow(const WindowStart& start,
                                          const prutils::ResourceBytes& image) {
    return std::make_unique<MainWindow>(start, image);
}

void ShowMainWindow(QWidget& window) {
    static_cast<MainWindow&>(window).Show();
}

int RunMainWindow(const WindowStart& start, const prutils::ResourceBytes& image) {
    if (!WindowSystemAvailable())
        return kWindowUnavailable;
    int argc = 1;
    char name[] = "packrig";
    char* argv[] = {name, nullptr};
    QApplication application(argc, argv);
    application.setQuitOnLastWindowClosed(false);
    application.setWindowIcon(QIcon(":/packrig/packrig.ico"));
    prdialogs::UseQtBoxes(true);
    int exitCode;
    {
        std::unique_ptr<QWidget> window = CreateMainWindow(start, image);
        ShowMainWindow(*window);
        exitCode = application.exec();
    }
    prdialogs::UseQtBoxes(false);
    return exitCode;
}

} // namespace fpackrig
