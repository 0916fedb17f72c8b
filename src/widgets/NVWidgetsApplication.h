#pragma once

#include "platform/NVApplicationServices.h"

#include <functional>

// The application object when there is a display: activation, hiding and
// modal windows through QApplication. There is no Dock on Linux, so the
// activation policy only records what was asked; the process has no window
// until one is shown. Termination is the application shell's normal path,
// given at construction.
class NVWidgetsApplication : public NVApplication {
public:
    // Main thread; a QApplication must exist.
    explicit NVWidgetsApplication(std::function<void()> terminate);

    // Main thread.
    void terminate() override;
    void setActivationPolicy(ActivationPolicy policy) override { m_activationPolicy = policy; }
    ActivationPolicy activationPolicy() const { return m_activationPolicy; }
    // Raises and activates the modal window if one is up, else every visible
    // top-level window, the active one last.
    void activate() override;
    void hide() override;
    bool isModalWindowUp() const override;
    bool isWindowVisible(NVWindowHandle window) const override;

private:
    std::function<void()> m_terminate;
    ActivationPolicy m_activationPolicy = ActivationPolicy::Accessory;
};
