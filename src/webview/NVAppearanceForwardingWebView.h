#pragma once

#include <QPointer>
#include <QString>
#include <QWebEngineView>

// A web view that tells its page whether its window is shown light or dark:
// after forwardAppearance() and whenever the palette, the style or the theme
// of the view or of its window changes, the page's function
// didChangeEffectiveAppearance (if it defines one) is called with "aqua"
// (light) or "dark-aqua" (dark).
//
// Main thread, every method.
class NVAppearanceForwardingWebView : public QWebEngineView {
    Q_OBJECT
public:
    // Shows page, which the caller keeps (it must outlive the view's use
    // of it; QWebEngineView does not take pages it is given).
    NVAppearanceForwardingWebView(QWebEnginePage *page, QWidget *parent);

    // "dark-aqua" when the window's colour is darker than its text's, else
    // "aqua".
    QString effectiveAppearanceName() const;
    // Calls the page's didChangeEffectiveAppearance with the name; a page
    // without that function is left alone. Returns at once.
    void forwardAppearance();

protected:
    void changeEvent(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    static bool changesAppearance(const QEvent *event);

    // The window the view is in, watched for its palette: the views
    // between it and this one may have palettes of their own (style sheets
    // set them), which stop a theme's palette on its way down.
    QPointer<QWidget> m_watchedWindow;
};
