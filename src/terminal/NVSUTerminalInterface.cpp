#include "terminal/NVSUTerminalInterface.h"

#include <unistd.h>

bool NVSUTerminalInterface::shouldUseTerminal(bool hasDisplay, bool stdinIsTerminal, bool assumeYes)
{
    return !hasDisplay && (stdinIsTerminal || assumeYes);
}

NVSUWindowControllerFactory NVSUTerminalInterface::factory(NVTerminal *terminal, NVSUTerminalEnvironment environment)
{
    return [terminal = QPointer<NVTerminal>(terminal), environment](const NVSUUpdate &update, NVSUWindowControllerOwner *owner)
               -> std::unique_ptr<NVSUWindowControllerInterface> {
        if (!terminal)
            return nullptr;
        return std::make_unique<NVSUTerminalWindowController>(update, owner, terminal.data(), environment);
    };
}

NVSUTerminalInterface::NVSUTerminalInterface(bool assumeYes)
    : m_terminal(NVTerminal::standardTerminal(assumeYes))
    , m_certificatePanel(std::make_unique<NVTerminalCertificatePanel>(m_terminal.get()))
{
    NVCertificatePanel::setCurrent(m_certificatePanel.get());
}

NVSUTerminalInterface::~NVSUTerminalInterface()
{
    if (NVCertificatePanel::current() == m_certificatePanel.get())
        NVCertificatePanel::setCurrent(nullptr);
}

std::unique_ptr<NVAlertPresenter> NVSUTerminalInterface::makeAlertPresenter() const
{
    return std::make_unique<NVTerminalAlertPresenter>(m_terminal.get());
}

std::unique_ptr<NVSUTerminalInterface> NVSUTerminalInterface::forProcess(bool hasDisplay, bool assumeYes)
{
    if (!shouldUseTerminal(hasDisplay, ::isatty(STDIN_FILENO) == 1, assumeYes))
        return nullptr;
    return std::make_unique<NVSUTerminalInterface>(assumeYes);
}

int NVSUTerminalInterface::exitStatus(const NVTerminal &terminal, int status)
{
    return status == 0 && terminal.unansweredQuestions() > 0 ? 1 : status;
}
