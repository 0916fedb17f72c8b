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
        {"too new a system", update(false, {{"MaximumSystemVersion", "2.30"}}),
         "Velkin 5.2 is now available — you have 5.0.0. Would you like to open its download page in your web browser?",
         " This update cannot run on the system of this computer.", "Open Download Page"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto controller = open(c.update);
        ASSERT_TRUE(controller);
        NVSUWindow *window = controller->updateWindow();
        EXPECT_EQ(window->windowTitle(), "Software Update");
        EXPECT_EQ(window->findChild<QLabel *>("updateAvailableMessageTextField")->text(),
                  "A new version of Velkin is available.");
        const auto [red, plain] = redAndPlainText(window->findChild<QLabel *>("updateAvailableInformativeTextField")->text());
        EXPECT_EQ(red, QString::fromUtf8(c.red));
        EXPECT_EQ(plain, QString::fromUtf8(c.plain).remove(QString::fromUtf8(c.red)));
        EXPECT_EQ(window->findChild<QPushButton *>("updateButton")->text(), c.commit);
        const bool notes = c.update.releaseNotesURL().has_value();
        EXPECT_EQ(controller->outlets().releaseNotesView->isVisible(), notes);
        EXPECT_EQ(window->isResizable(), notes);
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

// One line naming everything the download view shows.
QString shown(const NVSUWindowController &controller)
{
    const NVSUWindowController::Outlets &o = controller.outlets();
    const NVProgressIndicator *bar = o.downloadProgressIndicator;
    const QString progress = bar->isIndeterminate() ? (bar->isAnimating() ? "busy" : "stopped")
                                                     : QString::number(bar->doubleValue()) + (bar->isAnimating() ? " animated" : "");
    const QString alert = o.alertView->isVisible() ? "alert: " + o.errorTitleTextField->text() + " / " + o.errorTextField->text()
                                                   : "no alert";
    return QStringList{controller.updateWindow()->windowTitle(), o.downloadDescriptionTextField->text(),
                       o.downloadProgressTextField->text(), o.downloadActionButton->text(),
                       o.downloadActionButton->isEnabled() ? "enabled" : "disabled", progress, alert}
        .join(" | ");
}

TEST_F(NVSUWindowControllerTest, EachStageOfTheDownloadShowsItsTextsAndGivesTheButtonItsMeaning)
{
    auto controller = open(update(true));
    ASSERT_TRUE(controller);
    NVSUWindowController &c = *controller;
    NVSUWindow *window = c.updateWindow();
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
         "Updating Velkin | Downloading the update… |  | Cancel Download | enabled | 0 | no alert", Click, {"cancelDownload"}},
        {"size known", [&] { c.downloadProgress(2'400'000, 10'000'000); },
         "Updating Velkin | Downloading the update… | 2.4 MB of 10.0 MB | Cancel Download | enabled | 0.24 | no alert", Stay, {}},
        {"size unknown", [&] { c.downloadProgress(5'000'000, -1); },
         "Updating Velkin | Downloading the update… | 5.0 MB received | Cancel Download | enabled | busy | no alert", Stay, {}},
        {"unpacking",
         [&] {
             c.setProgressDescription(text(Strings::_progressDescriptionUnpackingArchive));
             c.unpackStarted();
         },
         "Updating Velkin | Unpacking the update… | 5.0 MB received | Cancel | enabled | busy | no alert", Click, {"cancelDownload"}},
        {"installer offered",
         [&] {
             c.setProgressDescription(text(Strings::_progressDescriptionReadyForInstallation));
             c.offerInstallationWithMechanism(NVSUInstallationMechanismInstaller);
         },
         "Updating Velkin | The update is ready to be installed. |  | Open Installer | enabled | 1 | no alert", Click, {"startInstaller"}},
        {"replacement offered", [&] { c.offerInstallationWithMechanism(NVSUInstallationMechanismReplaceBundle); },
         "Updating Velkin | The update is ready to be installed. |  | Install and Restart | enabled | 1 | no alert", Stay, {}},
        {"replacing", click,
         "Updating Velkin | Installing the update and restarting… |  | Install and Restart | disabled | busy | no alert", Stay,
         {"startInstaller"}},
        {"reset after a failed replacement", [&] { c.resetDownloadView(); },
         "Updating Velkin | Installing the update and restarting… |  | Install and Restart | enabled | stopped | no alert", Stay, {}},
        {"alert", [&] { c.runAlertWithName(Strings::bundleNameMismatch, {"Other.app", "Velkin.app"}); },
         "Updating Velkin | Installing the update and restarting… |  | Go Back | enabled | stopped | alert: The update does "
         "not match the installed application. / The update contains “Other.app”, but the installed application is "
         "“Velkin.app”. Nothing was changed.",
         Click, {"alertDidFinish"}},
        {"back to the download view", [&] { c.switchToDownloadView(); },
         "Updating Velkin | Installing the update and restarting… |  | Go Back | enabled | stopped | no alert", Stay, {}},
    };
    int collapsedHeight = 0;
    for (const auto &stage : stages) {
        SCOPED_TRACE(stage.stage);
        stage.step();
        EXPECT_EQ(shown(c), QString::fromUtf8(stage.shows));
        if (stage.stage == std::string("download started"))
            collapsedHeight = window->height();
        // The alert area opens downward inside the window and closes again.
        EXPECT_EQ(window->height(), collapsedHeight + (c.outlets().alertView->isVisible() ? c.outlets().alertView->height() : 0));
        if (stage.then == Click)
            click();
        EXPECT_EQ(owner.takeCalls(), stage.calls);
    }
    EXPECT_GT(collapsedHeight, 0);
}

TEST_F(NVSUWindowControllerTest, AWindowOfAnAutomaticCheckRefusesClicksAndKeysForTwoSeconds)
{
    owner.interactive = false;
    auto controller = open(update(true));
    ASSERT_TRUE(controller);
    NVSUWindow *window = controller->updateWindow();
    EXPECT_EQ(owner.takeCalls(), QStringList({"updateWindowWillOpen"}));
    EXPECT_EQ(window->level(), NVSUWindow::Level::Floating);
    EXPECT_EQ(window->refuseEventsBeforeDate(), now.addSecs(2));

    auto *remind = window->findChild<QPushButton *>("remindButton");
    remind->setFocus();
    const auto send = [&](QEvent &&event) { QApplication::sendEvent(window->windowHandle(), &event); };
    const auto clickRemind = [&] {
        const QPointF local = remind->mapTo(window, remind->rect().center());
        const QPointF global = window->mapToGlobal(local);
        send(QMouseEvent(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
        send(QMouseEvent(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier));
    };
    const auto pressSpace = [&] {
        send(QKeyEvent(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, " "));
        send(QKeyEvent(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier, " "));
    };

    now = now.addMSecs(1999);
    clickRemind();
    pressSpace();
    EXPECT_EQ(owner.takeCalls(), QStringList());
    EXPECT_EQ(window->level(), NVSUWindow::Level::Floating);

    now = now.addMSecs(2);
    clickRemind();
    EXPECT_EQ(window->refuseEventsBeforeDate(), std::nullopt);
    EXPECT_EQ(owner.takeCalls(), QStringList({"dialogFinishedWithChoice 1"}));
    EXPECT_EQ(window->level(), NVSUWindow::Level::Normal);
}

// The size the user gave a window with release notes is stored and used for
// the next such window only; opening stores nothing, and a stored size that
// does not read as one is ignored.
TEST_F(NVSUWindowControllerTest, TheRememberedSizeIsUsedOnlyForUpdatesWithReleaseNotes)
{
    auto controller = open(update(true));
    ASSERT_TRUE(controller);
    NVSUWindow *window = controller->updateWindow();
    EXPECT_EQ(window->size(), QSize(620, 474));
    EXPECT_EQ(defaults.stringForKey(SoftwareUpdateWindowSizeKey), "");
    window->resize(760, 560);
    EXPECT_TRUE(TestSupport::waitFor([&] { return defaults.stringForKey(SoftwareUpdateWindowSizeKey) == "{760, 560}"; },
                                    std::chrono::seconds(30)));
    controller->switchToDownloadView();
    controller->runAlertWithName(Strings::signatureError);
    QCoreApplication::processEvents();
    EXPECT_EQ(defaults.stringForKey(SoftwareUpdateWindowSizeKey), "{760, 560}") << "the download view's size is not the user's";
    controller->switchToPresentationView();
    EXPECT_EQ(window->size(), QSize(760, 560));

    EXPECT_EQ(open(update(true))->outlets().presentationView->size(), QSize(760, 560));
    EXPECT_EQ(open(update(false))->updateWindow()->size(), QSize(620, 474 - 292));
    defaults.setObject("{700}", SoftwareUpdateWindowSizeKey);
    EXPECT_EQ(open(update(true))->updateWindow()->size(), QSize(620, 474));
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

// In German, the longest of the languages, the interface file comes out
// translated and a little wider, every view shows its texts whole, and a
// picture of each is saved under <build>/screenshots/ for a person to look at.
TEST_F(NVSUWindowControllerTest, EveryViewIsTranslatedFitsItsTextsAndIsSavedAsAScreenshot)
{
    const QString folder = QStringLiteral(NV_TEST_BINARY_DIR "/screenshots");
    ASSERT_TRUE(QDir().mkpath(folder));
    NVBundle::setUserLanguagesForTesting({"de"});
    const auto save = [&](QWidget *widget, const char *name) {
        expectEverythingFits(widget);
        const QString path = folder + u'/' + name + "-de.png";
        EXPECT_TRUE(widget->grab().save(path)) << path.toStdString();
    };
    auto controller = open(update(true));
    ASSERT_TRUE(controller);
    const NVSUWindowController::Outlets &o = controller->outlets();
    NVSUWindow *window = controller->updateWindow();
    const auto button = [&](const char *name) { return window->findChild<QPushButton *>(name); };
    EXPECT_EQ(window->width(), 620 + 40);
    EXPECT_EQ(QStringList({window->windowTitle(), button("skipButton")->text(), button("remindButton")->text(),
                           button("updateButton")->text(), button("skipButton")->toolTip(), o.authenticationSheet->windowTitle()}),
              QStringList({"Softwareaktualisierung", "Diese Version überspringen", "Später erinnern", "Update installieren",
                           "An diese Version nicht mehr erinnern", "Anmelden"}));
    save(window, "presentation");

    controller->setProgressDescription(text(Strings::_progressDescriptionDownloadingUpdate));
    controller->downloadStarted();
    controller->switchToDownloadView();
    controller->downloadProgress(2'400'000, 10'000'000);
    EXPECT_EQ(o.downloadProgressTextField->text(), "2,4 MB von 10,0 MB");
    save(window, "download");
    controller->offerInstallationWithMechanism(NVSUInstallationMechanismReplaceBundle);
    EXPECT_EQ(QStringList({window->windowTitle(), o.downloadActionButton->text()}),
              QStringList({"Velkin wird aktualisiert", "Installieren und neu starten"}));
    controller->runAlertWithName(Strings::errorCopyingOverSelf,
                                 {"/home/anna/.cache/norvane.velkin.SoftwareUpdate/tmp/Velkin.app", "/opt/Velkin.app"});
    save(window, "download-alert");
    o.authenticationHostnameTextField->setText("velkin.example:443");
    save(o.authenticationSheet, "login-sheet");
}

} // namespace
