#pragma once

#include "terminal/NVSUTerminalWindowController.h"
#include "terminal/NVTerminal.h"
#include "terminal/NVTerminalAlertPresenter.h"
#include "ui/NVSUWindowController.h"

#include <memory>

// The update run on a machine without a display: over SSH, on a server, in
// a script. The application asks shouldUseTerminal at start-up and, when it
// says yes, makes one NVSUTerminalInterface for the process and installs
// its factory and its alert presenter; the certificate panel is installed
// while the object lives.
class NVSUTerminalInterface {
public:
    // Whether updates are shown on the terminal: only without a display,
    // and only when someone can answer (standard input is a terminal) or
    // nobody needs to (--assume-yes). Otherwise no interface can show an
    // update and the run ends as postponed. Any thread.
    static bool shouldUseTerminal(bool hasDisplay, bool stdinIsTerminal, bool assumeYes);

    // A factory that shows updates on terminal, which must outlive every
    // controller it makes. Main thread.
    static NVSUWindowControllerFactory factory(NVTerminal *terminal, NVSUTerminalEnvironment environment = {});

    // The interface of this process when it shows updates on its terminal
    // (shouldUseTerminal, with what isatty says of standard input), or
    // nullptr. The application installs its presenter and factory and
    // passes its exit status through exitStatus. Main thread.
    static std::unique_ptr<NVSUTerminalInterface> forProcess(bool hasDisplay, bool assumeYes);

    // The process's terminal (standard input and output) with its alert
    // presenter and certificate panel; installs the panel. Main thread.
    explicit NVSUTerminalInterface(bool assumeYes);
    // Uninstalls the panel. Main thread.
    ~NVSUTerminalInterface();
    NVSUTerminalInterface(const NVSUTerminalInterface &) = delete;
    NVSUTerminalInterface &operator=(const NVSUTerminalInterface &) = delete;

    NVTerminal &terminal() const { return *m_terminal; }
    // A presenter for the application to install (it keeps it).
    std::unique_ptr<NVAlertPresenter> makeAlertPresenter() const;
    NVSUWindowControllerFactory factory() const { return factory(m_terminal.get()); }

    // The process's exit status after its event loop answered `status`: not
    // zero when --assume-yes had to leave a question unanswered (an error
    // in the update window), so that a script sees the failure.
    int exitStatus(int status) const { return exitStatus(*m_terminal, status); }
    static int exitStatus(const NVTerminal &terminal, int status);

private:
    std::unique_ptr<NVTerminal> m_terminal;
    std::unique_ptr<NVTerminalCertificatePanel> m_certificatePanel;
};
