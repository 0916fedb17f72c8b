#include "webview/NVSUReleaseNotesWebView.h"

#include "logging/NVLog.h"
#include "platform/NVApplicationServices.h"
#include "platform/NVBundle.h"
#include "platform/NVUserDefaults.h"
#include "support/LogCapture.h"
#include "support/TestHTTPSServer.h"
#include "support/TestSupport.h"
#include "widgets/NVProgressIndicator.h"
#include "widgets/NVSUWindowController.h"
#include "support/RecordingWindowOwner.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QWebEnginePage>

#include <gtest/gtest.h>

#include <memory>

namespace {

using namespace std::chrono_literals;

// Loads start a browser engine on a loaded machine: generous, and only ever
// a deadline.
constexpr auto Deadline = 90s;

class RecordingWorkspace : public NVWorkspace {
public:
    QStringList opened;
    bool openURL(const QString &url) override
    {
        opened << url;
        return true;
    }
    void openApplication(const QString &, const QStringList &, LaunchCompletion) override {}
};

class DebugLogs : public NVLogEnvironment {
public:
    bool boolForKey(const QString &) const override { return false; }
    QString bundleIdentifier() const override { return {}; }
    bool debugLogsEnabled() const override { return true; }
};

// A release-notes page: links of each kind, and a page function that keeps
// the appearances it was told.
const char *const NotesPage = R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"><script>
window.appearances = [];
function didChangeEffectiveAppearance(appearance) { window.appearances.push(appearance); }
</script></head><body>
<h1 id="title">What's new in Velkin 5.2</h1>
<p><a id="fragment" href="#fixes">Fixes</a> · <a id="relative" href="history.html#5.1">Earlier versions</a> ·
<a id="absolute" href="ABSOLUTE">Sync guide</a></p>
<div style="height: 600px"></div>
<h2 id="fixes">Fixes</h2>
</body></html>)";

class NVSUReleaseNotesWebViewTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A bundle that trusts the test authority, with the window's
        // interface file and tables.
        const QString bundle = m_folder.path() + "/Test.app";
        const QString resources = bundle + "/Contents/Resources";
        TestSupport::writeInfoPlist(bundle, {{"CFBundleIdentifier", "test.velkin.ReleaseNotes"}, {"CFBundleName", "Velkin"},
                                             {"CFBundleVersion", "5000"}, {"CFBundleShortVersionString", "5.0.0"}});
        TestSupport::writeFile(resources + "/ServerTrustAnchors.pem", TestTLS::shared().authorityPEM);
        for (const char *resource : {"en.lproj", "de.lproj", "NVSoftwareUpdate.ui"})
            QFile::link(TestSupport::bundlePath() + "/Contents/Resources/" + resource, resources + '/' + resource);
        NVBundle::setMainBundle(bundle);
        NVBundle::setUserLanguagesForTesting({"en"});
        NVApplicationServices::setWorkspace(&workspace);
        NVSetLogEnvironment(&debugLogs);
        NVSUReleaseNotesViews::setFactory(NVSUReleaseNotesWebView::factory());

        QByteArray notes(NotesPage);
        notes.replace("ABSOLUTE", server.url({}, "/guide.html#sync").toEncoded());
        server.setRoute("/notes.html", {.status = 200, .body = notes, .headers = {{"Content-Type", "text/html; charset=utf-8"}}});
    }
    void TearDown() override
    {
        NVSUReleaseNotesViews::setFactory({});
        NVSetLogEnvironment(nullptr);
        NVApplicationServices::setWorkspace(nullptr);
        NVBundle::setUserLanguagesForTesting({});
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // The window for an update whose notes are at url, open and loading.
    std::unique_ptr<NVSUWindowController> open(const QUrl &url)
    {
        auto controller = NVSUWindowController::create(RecordingWindowOwner::update({{"ReleaseNotesURL", url.toString()}}), &owner,
                                                       {{}, &defaults});
        EXPECT_TRUE(controller) << controller.error().localizedDescription().toStdString();
        return controller ? std::move(controller).value() : nullptr;
    }

    static QWebEngineView *webView(const NVSUWindowController &controller)
    {
        return qobject_cast<QWebEngineView *>(controller.releaseNotesWebView()->widget());
    }

    // The window's notes (or error page) are there once the view shows.
    static bool waitForPage(const NVSUWindowController &controller)
    {
        return TestSupport::waitFor([&] { return webView(controller)->isVisible(); }, Deadline);
    }

    static QVariant js(QWebEngineView *view, const QString &script)
    {
        auto result = std::make_shared<std::optional<QVariant>>();
        view->page()->runJavaScript(script, [result](const QVariant &value) { *result = value; });
        EXPECT_TRUE(TestSupport::waitFor([&] { return result->has_value(); }, Deadline)) << script.toStdString();
        return result->value_or(QVariant());
    }

    // A real click of the mouse in the middle of the element.
    static void click(QWebEngineView *view, const QString &id)
    {
        const QVariantList centre =
            js(view, QStringLiteral("(function () { var r = document.getElementById('%1').getBoundingClientRect();"
                                    " return [r.left + r.width / 2, r.top + r.height / 2]; })()")
                         .arg(id))
                .toList();
        ASSERT_EQ(centre.size(), 2) << id.toStdString();
        QWidget *target = view->focusProxy();
        const QPointF local(centre[0].toDouble(), centre[1].toDouble());
        const QPointF global = target->mapToGlobal(local);
        for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
            QMouseEvent event(type, local, global, Qt::LeftButton,
                              type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
            QCoreApplication::sendEvent(target, &event);
        }
    }

    // The engine drops input that comes before its first frame is up, which
    // on a busy machine may be well after the load: the heading is clicked
    // until the page has seen a press.
    static bool waitForInput(QWebEngineView *view)
    {
        js(view, "window.presses = 0; document.addEventListener('mousedown', function () { ++window.presses; }); true");
        return TestSupport::waitFor(
            [&] {
                click(view, "title");
                return TestSupport::waitFor([&] { return js(view, "window.presses").toInt() > 0; }, 1s);
            },
            Deadline);
    }

    QTemporaryDir m_folder;
    TestHTTPSServer server{TestTLS::shared().server};
    RecordingWorkspace workspace;
    DebugLogs debugLogs;
    LogCapture logs;
    RecordingWindowOwner owner;
    NVUserDefaults defaults{"test.velkin.ReleaseNotes", m_folder.path()};
};

// One load of the notes: how they are asked for, where each kind of link
// goes, what the page's bridge may open, and the appearance the page hears
// after loading and at every switch of the window's theme.
TEST_F(NVSUReleaseNotesWebViewTest, TheNotesPageFollowsOnlyItselfOpensSafeAddressesAndHearsTheAppearance)
{
    auto controller = open(server.url({}, "/notes.html"));
    ASSERT_TRUE(controller);
    ASSERT_TRUE(waitForPage(*controller));
    QWebEngineView *view = webView(*controller);

    // Asked for once, past every cache.
    const QList<TestHTTPSServer::Request> requests = server.requestsFor("/notes.html");
    ASSERT_EQ(requests.size(), 1);
    EXPECT_EQ(requests[0].header("Cache-Control"), "no-cache");

    ASSERT_TRUE(waitForInput(view));
    click(view, "relative");
    click(view, "absolute");
    ASSERT_TRUE(TestSupport::waitFor([&] { return workspace.opened.size() == 2; }, Deadline));
    EXPECT_EQ(workspace.opened, QStringList({server.url({}, "/history.html#5.1").toString(),
                                             server.url({}, "/guide.html#sync").toString()}));

    // A link the page adds after it loaded escaped the links script; the
    // view refuses to follow it.
    js(view, "var late = document.createElement('a'); late.id = 'late'; late.href = 'late.html'; late.textContent = 'Late';"
             "document.body.prepend(late); true");
    click(view, "late");
    const QString refusal = "Not following a link to another page: " + server.url({}, "/late.html").toString();
    ASSERT_TRUE(TestSupport::waitFor([&] { return !logs.matching(refusal).isEmpty(); }, Deadline));

    click(view, "fragment");
    EXPECT_TRUE(TestSupport::waitFor([&] { return js(view, "window.scrollY").toDouble() > 0; }, Deadline));
    EXPECT_EQ(view->url().path() + '#' + view->url().fragment(), "/notes.html#fixes");
    EXPECT_EQ(workspace.opened.size(), 2);
    for (const char *path : {"/history.html", "/guide.html", "/late.html"})
        EXPECT_TRUE(server.requestsFor(path).isEmpty()) << path;

    // The bridge opens web and mail addresses only; each refusal names its
    // cause. Messages are handled in order, so once the last one is opened
    // the others were refused.
    const struct {
        const char *body;   // JavaScript
        const char *logged;
    } refused[] = {
        {"'open-in-mail:https://velkin.example/'", "with the unknown verb \"open-in-mail\""},
        {"'open-in-browser:file:///etc/passwd'", "not opening \"file:///etc/passwd\""},
        {"'open-in-browser:javascript:alert(1)'", "not opening \"javascript:alert(1)\""},
    };
    workspace.opened.clear();
    const auto post = [&](const QString &body) {
        js(view, QStringLiteral("window.webkit.messageHandlers.bridge.postMessage(%1); true").arg(body));
    };
    for (const auto &r : refused)
        post(r.body);
    post("'open-in-browser:mailto:support@velkin.example?subject=Hi:5.2'");
    ASSERT_TRUE(TestSupport::waitFor([&] { return !workspace.opened.isEmpty(); }, Deadline));
    EXPECT_EQ(workspace.opened, QStringList({"mailto:support@velkin.example?subject=Hi:5.2"}));
    for (const auto &r : refused)
        EXPECT_EQ(logs.matching(r.logged).size(), 1) << r.body;

    const auto lastAppearance = [&] { return js(view, "window.appearances[window.appearances.length - 1]").toString(); };
    EXPECT_TRUE(TestSupport::waitFor([&] { return lastAppearance() == "aqua"; }, Deadline));
    // What a switch of the desktop's theme does to the window (the
    // application's palette reaches windows only inside its event loop).
    controller->updateWindow()->setPalette(QPalette(QColor(0x45, 0x45, 0x45), QColor(0x32, 0x32, 0x32)));
    EXPECT_TRUE(TestSupport::waitFor([&] { return lastAppearance() == "dark-aqua"; }, Deadline));
}

// The view as the updater makes it: from its library, which loads the notes
// with this process's bundle (its anchors) and opens links through this
// process's workspace. A library that is not there leaves the window without
// a view, and says so once.
TEST_F(NVSUReleaseNotesWebViewTest, TheLibraryTheUpdaterOpensMakesWorkingViews)
{
    NVSUReleaseNotesViews::setFactory(NVSUReleaseNotesViews::libraryFactory(NV_TEST_BUNDLE_DIR "/Contents/PlugIns/libnvsu-webview.so"));
    auto controller = open(server.url({}, "/notes.html"));
    ASSERT_TRUE(controller);
    ASSERT_TRUE(waitForPage(*controller));
    QWebEngineView *view = webView(*controller);
    ASSERT_TRUE(waitForInput(view));
    click(view, "absolute");
    ASSERT_TRUE(TestSupport::waitFor([&] { return workspace.opened.size() == 1; }, Deadline));
    EXPECT_EQ(workspace.opened[0], server.url({}, "/guide.html#sync").toString());
    controller.reset();

    NVSUReleaseNotesViews::setFactory(NVSUReleaseNotesViews::libraryFactory(m_folder.path() + "/missing.so"));
    for (int window = 0; window < 2; ++window) {
        auto without = open(server.url({}, "/notes.html"));
        ASSERT_TRUE(without);
        EXPECT_EQ(without->releaseNotesWebView(), nullptr);
    }
    EXPECT_EQ(logs.matching("Release notes cannot be shown").size(), 1);
}

// A failed load shows its cause as text in the light colours, whatever the
// server sent; a basic log-in asks with empty fields at every challenge.
TEST_F(NVSUReleaseNotesWebViewTest, FailedLoadsShowTheErrorPageAsTextAndABasicLogInAsksAtEveryChallenge)
{
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const quint16 closedPort = closed.serverPort();
    closed.close();
    server.setRoute("/broken.html", {.status = 500, .body = "<script>window.ran = true;</script> Down for maintenance",
                                     .headers = {{"Content-Type", "text/plain"}}});
    server.setRoute("/digest.html", {.status = 401, .headers = {{"WWW-Authenticate", "Digest realm=\"Updates\", nonce=\"1\""}}});
    server.setRoute("/private.html", {.status = 200, .body = "<p>Private notes</p>",
                                      .headers = {{"Content-Type", "text/html"}}, .basicCredentials = "anna:secret"});
    TestHTTPSServer stranger(TestTLS::shared().unknownRoot);
    stranger.setRoute("/notes.html", {.status = 200, .body = NotesPage, .headers = {{"Content-Type", "text/html"}}});

    const QString failed = "The release notes could not be loaded: ";
    const struct {
        const char *name;
        QUrl url;
        QList<std::pair<const char *, const char *>> answers; // user and password; nullptr: cancel
        QString text;
    } cases[] = {
        {"refused", QUrl(QStringLiteral("https://127.0.0.1:%1/notes.html").arg(closedPort)), {},
         failed + "Could not connect to the server “127.0.0.1”."},
        {"server error", server.url({}, "/broken.html"), {},
         failed + "The server “127.0.0.1” answered with error 500. <script>window.ran = true;</script> Down for maintenance"},
        {"untrusted", stranger.url({}, "/notes.html"), {},
         failed + "The certificate of the server “127.0.0.1” was issued by an authority that is not trusted."},
        {"another log-in", server.url({}, "/digest.html"), {},
         failed + "The server “127.0.0.1” asks for a kind of log-in that is not supported."},
        {"wrong, then right", server.url({}, "/private.html"), {{"anna", "wrong"}, {"anna", "secret"}}, "Private notes"},
        {"log-in cancelled", server.url({}, "/private.html"), {{nullptr, nullptr}}, failed + "The log-in was cancelled."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto controller = open(c.url);
        ASSERT_TRUE(controller);
        const NVSUWindowController::Outlets &o = controller->outlets();
        for (const auto &[user, password] : c.answers) {
            ASSERT_TRUE(TestSupport::waitFor([&] { return o.authenticationSheet->isVisible(); }, Deadline))
                << logs.matching("").join('\n').toStdString();
            EXPECT_EQ(o.authenticationHostnameTextField->text(), QStringLiteral("127.0.0.1:%1").arg(server.port()));
            EXPECT_EQ(o.authenticationUserTextField->text() + o.authenticationPasswordTextField->text(), "");
            if (!user) {
                o.authenticationSheet->findChild<QPushButton *>("authenticationCancelButton")->click();
                continue;
            }
            o.authenticationUserTextField->setText(user);
            o.authenticationPasswordTextField->setText(password);
            o.authenticationLogInButton->click();
            EXPECT_FALSE(o.authenticationSheet->isVisible());
        }
        ASSERT_TRUE(waitForPage(*controller));
        QWebEngineView *view = webView(*controller);
        EXPECT_FALSE(o.releaseNotesProgressIndicator->isVisible());
        EXPECT_FALSE(o.authenticationSheet->isVisible());
        if (c.text.startsWith(failed)) {
            EXPECT_TRUE(TestSupport::waitFor([&] { return js(view, "document.body.style.color").toString() == "rgb(0, 1, 0)"; },
                                             Deadline));
            EXPECT_EQ(js(view, "document.body.style.backgroundColor").toString(), "rgb(255, 255, 255)");
            EXPECT_EQ(js(view, "document.querySelectorAll('script').length + (window.ran === true ? 100 : 0)").toInt(), 1);
        }
        EXPECT_EQ(js(view, "document.body.innerText").toString(), c.text);
    }
}

} // namespace
