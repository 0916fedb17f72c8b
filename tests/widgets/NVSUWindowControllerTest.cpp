#include "widgets/NVSUWindowController.h"

#include "localization/NVSoftwareUpdateStrings.h"
#include "model/NVVersionNumber.h"
#include "platform/NVBundle.h"
#include "platform/NVUserDefaults.h"
#include "support/TestSupport.h"
#include "widgets/NVDynamicAutoresizingButton.h"
#include "widgets/NVInterfaceFileLoader.h"
#include "widgets/NVProgressIndicator.h"
#include "widgets/NVWindowResizingView.h"
#include "support/RecordingWindowOwner.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextDocument>
#include <QWindow>

#include <gtest/gtest.h>

namespace {

namespace Strings = NVSoftwareUpdateStrings;

class NVSUWindowControllerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        NVBundle::setMainBundle(TestSupport::bundlePath());
        NVBundle::setUserLanguagesForTesting({"en"});
        NVVersionNumber::setCurrentSystemVersionForTesting(NVVersionNumber(2, 36, 0));
        NVInterfaceFileLoader::enableAutomaticLocalization();
    }
    void TearDown() override
    {
        NVBundle::setUserLanguagesForTesting({});
        NVVersionNumber::setCurrentSystemVersionForTesting(std::nullopt);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    static NVSUUpdate update(bool releaseNotes, QVariantMap extra = {})
    {
        if (releaseNotes)
            extra.insert("ReleaseNotesURL", "https://velkin.example/notes");
        return RecordingWindowOwner::update(extra);
    }

    std::unique_ptr<NVSUWindowController> open(const NVSUUpdate &update)
    {
        auto controller = NVSUWindowController::create(update, &owner, {[this] { return now; }, &defaults});
        EXPECT_TRUE(controller) << controller.error().localizedDescription().toStdString();
        return controller ? std::move(controller).value() : nullptr;
    }

    static QString text(const QString &key) { return NVLocalization::localizedStringFromTable(key, Strings::Table); }

    QTemporaryDir settingsFolder;
    NVUserDefaults defaults{"test.velkin.Window", settingsFolder.path()};
    RecordingWindowOwner owner;
    QDateTime now = QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC);
};

// The rich text split into what is red and what has no colour of its own.
std::pair<QString, QString> redAndPlainText(const QString &html)
{
    QTextDocument document;
    document.setHtml(html);
    QString red, plain;
    for (QTextBlock::iterator it = document.begin().begin(); !it.atEnd(); ++it) {
        const QTextFragment fragment = it.fragment();
        const bool coloured = fragment.charFormat().hasProperty(QTextFormat::ForegroundBrush);
        (coloured && fragment.charFormat().foreground().color().red() > 200 ? red : plain) += fragment.text();
    }
    return {red, plain};
}

TEST_F(NVSUWindowControllerTest, ThePresentationShowsTheUpdateAndReportsTheChoices)
{
    const struct {
        const char *name;
        NVSUUpdate update;
        const char *plain;
        const char *red;
        const char *commit;
    } cases[] = {
        {"compatible", update(true), "Velkin 5.2 is now available — you have 5.0.0. Would you like to install it now?", "",
         "Install Update"},
        {"needs a newer system", update(false, {{"MinimumSystemVersion", "2.40"}}),
         "Velkin 5.2 is now available — you have 5.0.0. Would you like to open its download page in your web browser?",
         " This update needs a newer Linux system with version 2.40 or later of the GNU C Library; this computer has "
         "version 2.36.",
         "Open Download Page"},
    };
    // The size the user gave a window with release notes is used for the
    // next such window only.
    defaults.setObject("{760, 560}", SoftwareUpdateWindowSizeKey);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto controller = open(c.update);
        ASSERT_TRUE(controller);
        NVSUWindow *window = controller->updateWindow();
        EXPECT_EQ(window->findChild<QLabel *>("updateAvailableMessageTextField")->text(),
                  "A new version of Velkin is available.");
        const auto [red, plain] = redAndPlainText(window->findChild<QLabel *>("updateAvailableInformativeTextField")->text());
        EXPECT_EQ(red, QString::fromUtf8(c.red));
        EXPECT_EQ(plain, QString::fromUtf8(c.plain).remove(QString::fromUtf8(c.red)));
        EXPECT_EQ(window->findChild<QPushButton *>("updateButton")->text(), c.commit);
        const bool notes = c.update.releaseNotesURL().has_value();
        EXPECT_EQ(controller->outlets().releaseNotesView->isVisible(), notes);
        EXPECT_EQ(window->isResizable(), notes);
        EXPECT_EQ(controller->outlets().presentationView->size(), notes ? QSize(760, 560) : QSize(620, 474 - 292));
        EXPECT_EQ(controller->outlets().releaseNotesProgressIndicator->isAnimating(), notes);

        owner.takeCalls();
        for (const char *button : {"skipButton", "remindButton", "updateButton"})
            window->findChild<QPushButton *>(button)->click();
        EXPECT_EQ(owner.takeCalls(), QStringList({"dialogFinishedWithChoice 0", "dialogFinishedWithChoice 1",
                                                  "dialogFinishedWithChoice 2"}));
        window->close();
        EXPECT_EQ(owner.takeCalls(), QStringList({"updateWindowWillClose"}));
    }
}

// Every visible push button is as wide as its title needs, and none overlaps
// another or leaves its parent; every label that does not wrap shows its
// whole text.
void expectEverythingFits(QWidget *view)
{
    const QList<QPushButton *> buttons = view->findChildren<QPushButton *>();
    for (QPushButton *button : buttons) {
        if (!button->isVisibleTo(view))
            continue;
        EXPECT_GE(button->width(), button->sizeHint().width()) << button->objectName().toStdString();
        EXPECT_TRUE(button->parentWidget()->rect().contains(button->geometry())) << button->objectName().toStdString();
        for (QPushButton *other : buttons) {
            if (other != button && other->parentWidget() == button->parentWidget() && other->isVisibleTo(view)) {
                EXPECT_FALSE(button->geometry().intersects(other->geometry()))
                    << button->objectName().toStdString() << " overlaps " << other->objectName().toStdString();
            }
        }
    }
    for (QLabel *label : view->findChildren<QLabel *>()) {
        if (label->isVisibleTo(view) && !label->wordWrap()) {
            EXPECT_GE(label->width(), label->sizeHint().width()) << label->objectName().toStdString();
        }
    }
}

// One line naming everything the download view shows but the window's title.
QString shown(const NVSUWindowController &controller)
{
    const NVSUWindowController::Outlets &o = controller.outlets();
    const NVProgressIndicator *bar = o.downloadProgressIndicator;
    const QString progress = bar->isIndeterminate() ? (bar->isAnimating() ? "busy" : "stopped")
                                                     : QString::number(bar->doubleValue()) + (bar->isAnimating() ? " animated" : "");
    const QString alert = o.alertView->isVisible() ? "alert: " + o.errorTitleTextField->text() + " / " + o.errorTextField->text()
                                                   : "no alert";
    return QStringList{o.downloadDescriptionTextField->text(), o.downloadProgressTextField->text(), o.downloadActionButton->text(),
                       o.downloadActionButton->isEnabled() ? "enabled" : "disabled", progress, alert}
        .join(" | ");
}

// In German, the longest of the languages: the interface file comes out
// translated and a little wider, each stage of the download shows its texts,
// whole, and gives the button its meaning, and a picture of each view is saved
// under <build>/screenshots/ for a person to look at.
TEST_F(NVSUWindowControllerTest, EachStageOfTheDownloadShowsItsTextsWholeAndGivesTheButtonItsMeaning)
{
    const QString folder = QStringLiteral(NV_TEST_BINARY_DIR "/screenshots");
    ASSERT_TRUE(QDir().mkpath(folder));
    const auto save = [&](QWidget *widget, QString name) {
        expectEverythingFits(widget);
        const QString path = folder + u'/' + name.replace(u' ', u'-') + "-de.png";
        EXPECT_TRUE(widget->grab().save(path)) << path.toStdString();
    };
    NVBundle::setUserLanguagesForTesting({"de"});
    auto controller = open(update(true));
    ASSERT_TRUE(controller);
    NVSUWindowController &c = *controller;
    NVSUWindow *window = c.updateWindow();
    QPushButton *skip = window->findChild<QPushButton *>("skipButton");
    EXPECT_EQ(window->size(), QSize(620 + 40, 474));
    EXPECT_EQ(QStringList({window->windowTitle(), skip->text(), skip->toolTip(), c.outlets().authenticationSheet->windowTitle()}),
              QStringList({"Softwareaktualisierung", "Diese Version überspringen", "An diese Version nicht mehr erinnern", "Anmelden"}));
    save(window, "presentation");
    // The user's size of the presentation is stored (opening stored none),
    // that of the smaller download view is not.
    EXPECT_EQ(defaults.stringForKey(SoftwareUpdateWindowSizeKey), "");
    window->resize(760, 560);
    EXPECT_TRUE(TestSupport::waitFor([&] { return defaults.stringForKey(SoftwareUpdateWindowSizeKey) == "{760, 560}"; },
                                    std::chrono::seconds(30)));
    owner.takeCalls();
    const auto click = [&] { c.outlets().downloadActionButton->click(); };
    enum Then { Stay, Click };
    const struct {
        const char *stage;
        std::function<void()> step;
        const char *shows;
        Then then;
        QStringList calls; // made by the step, or by the click after it
    } stages[] = {
        {"download started",
         [&] {
             c.setProgressDescription(text(Strings::_progressDescriptionDownloadingUpdate));
             c.downloadStarted();
             c.switchToDownloadView();
         },
         "Das Update wird geladen … |  | Download abbrechen | enabled | 0 | no alert", Click, {"cancelDownload"}},
        {"size known", [&] { c.downloadProgress(2'400'000, 10'000'000); },
         "Das Update wird geladen … | 2,4 MB von 10,0 MB | Download abbrechen | enabled | 0.24 | no alert", Stay, {}},
        {"size unknown", [&] { c.downloadProgress(5'000'000, -1); },
         "Das Update wird geladen … | 5,0 MB geladen | Download abbrechen | enabled | busy | no alert", Stay, {}},
        {"unpacking",
         [&] {
             c.setProgressDescription(text(Strings::_progressDescriptionUnpackingArchive));
             c.unpackStarted();
         },
         "Das Update wird entpackt … | 5,0 MB geladen | Abbrechen | enabled | busy | no alert", Click, {"cancelDownload"}},
        {"installer offered",
         [&] {
             c.setProgressDescription(text(Strings::_progressDescriptionReadyForInstallation));
             c.offerInstallationWithMechanism(NVSUInstallationMechanismInstaller);
         },
         "Das Update ist bereit zur Installation. |  | Installationsprogramm öffnen | enabled | 1 | no alert", Click, {"startInstaller"}},
        {"replacement offered", [&] { c.offerInstallationWithMechanism(NVSUInstallationMechanismReplaceBundle); },
         "Das Update ist bereit zur Installation. |  | Installieren und neu starten | enabled | 1 | no alert", Stay, {}},
        {"replacing", click,
         "Das Update wird installiert und das Programm neu gestartet … |  | Installieren und neu starten | disabled | busy | no alert",
         Stay, {"startInstaller"}},
        {"reset after a failed replacement", [&] { c.resetDownloadView(); },
         "Das Update wird installiert und das Programm neu gestartet … |  | Installieren und neu starten | enabled | stopped | no alert",
         Stay, {}},
        {"alert", [&] { c.runAlertWithName(Strings::bundleNameMismatch, {"Other.app", "Velkin.app"}); },
         "Das Update wird installiert und das Programm neu gestartet … |  | Zurück | enabled | stopped | alert: Das Update passt nicht "
         "zum installierten Programm. / Das Update enthält „Other.app“, installiert ist aber „Velkin.app“. Es wurde nichts geändert.",
         Click, {"alertDidFinish"}},
        {"back to the download view", [&] { c.switchToDownloadView(); },
         "Das Update wird installiert und das Programm neu gestartet … |  | Zurück | enabled | stopped | no alert", Stay, {}},
    };
    int collapsedHeight = 0;
    for (const auto &stage : stages) {
        SCOPED_TRACE(stage.stage);
        stage.step();
        EXPECT_EQ(shown(c), QString::fromUtf8(stage.shows));
        save(window, stage.stage);
        if (stage.stage == std::string("download started")) {
            collapsedHeight = window->height();
            EXPECT_EQ(window->windowTitle(), "Velkin wird aktualisiert");
        }
        // The alert area opens downward inside the window and closes again.
        EXPECT_EQ(window->height(), collapsedHeight + (c.outlets().alertView->isVisible() ? c.outlets().alertView->height() : 0));
        if (stage.then == Click)
            click();
        EXPECT_EQ(owner.takeCalls(), stage.calls);
    }
    // An installer that did not start: the window, hidden for it, comes back
    // with the alert.
    c.closeUpdateWindow();
    c.runAlertWithName(Strings::cannotLaunchInstaller, {"/x/Installer.app"});
    EXPECT_TRUE(window->isVisible());
    QCoreApplication::processEvents();
    EXPECT_EQ(defaults.stringForKey(SoftwareUpdateWindowSizeKey), "{760, 560}");
    c.outlets().authenticationHostnameTextField->setText("velkin.example:443");
    save(c.outlets().authenticationSheet, "login sheet");
}

TEST_F(NVSUWindowControllerTest, AWindowOfAnAutomaticCheckRefusesClicksAndKeysForTwoSeconds)
{
    owner.interactive = false;
    auto controller = open(update(true));
    ASSERT_TRUE(controller);
    NVSUWindow *window = controller->updateWindow();
    EXPECT_EQ(owner.takeCalls(), QStringList({"updateWindowWillOpen"}));
    EXPECT_EQ(window->level(), NVSUWindow::Level::Floating);

    auto *remind = window->findChild<QPushButton *>("remindButton");
    remind->setFocus();
    const auto send = [&](QEvent &&event) { QApplication::sendEvent(window->windowHandle(), &event); };
    const auto clickRemind = [&] {
        const QPointF local = remind->mapTo(window, remind->rect().center());
        const QPointF global = window->mapToGlobal(local);
        send(QMouseEvent(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
        send(QMouseEvent(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier));
    };

    now = now.addMSecs(1999);
    clickRemind();
    send(QKeyEvent(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, " "));
    send(QKeyEvent(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier, " "));
    EXPECT_EQ(owner.takeCalls(), QStringList());
    EXPECT_EQ(window->level(), NVSUWindow::Level::Floating);

    now = now.addMSecs(2);
    clickRemind();
    EXPECT_EQ(owner.takeCalls(), QStringList({"dialogFinishedWithChoice 1"}));
    EXPECT_EQ(window->level(), NVSUWindow::Level::Normal);
}

} // namespace
