#include "ui/NVCertificatePanel.h"

namespace {
NVCertificatePanel *&installedPanel()
{
    static NVCertificatePanel *panel = nullptr;
    return panel;
}
} // namespace

NVCertificatePanel *NVCertificatePanel::current()
{
    return installedPanel();
}

void NVCertificatePanel::setCurrent(NVCertificatePanel *panel)
{
    installedPanel() = panel;
}
