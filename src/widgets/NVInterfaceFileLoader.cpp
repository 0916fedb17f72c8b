#include "widgets/NVInterfaceFileLoader.h"

#include "foundation/NVFormat.h"
#include "platform/NVBundle.h"
#include "widgets/NVAutoresizingBox.h"
#include "widgets/NVAutoresizingPopUpButton.h"
#include "widgets/NVDynamicAutoresizingButton.h"
#include "widgets/NVProgressIndicator.h"
#include "widgets/NVWidgetLocalization.h"
#include "widgets/NVWindowResizingView.h"

#include <QAbstractButton>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMetaMethod>
#include <QPixmap>
#include <QPointer>

#include <atomic>

namespace {

// NSFileReadNoSuchFileError and NSFileReadCorruptFileError.
constexpr qint64 FileMissingCode = 260;
constexpr qint64 FileCorruptCode = 259;
const QString ResourcesInBundle = QStringLiteral("/Contents/Resources/");
constexpr const char *ActionProperty = "action";

std::atomic<bool> automaticLocalization = false;

NVError loadError(qint64 code, const QString &format, const QVariantList &arguments)
{
    return NVError::withDescription(NSCocoaErrorDomain, code, NVFormat::format(format, arguments));
}

NVResult<std::unique_ptr<QWidget>> loadFile(const QString &path, const NVBundle *bundle)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return loadError(FileMissingCode, QStringLiteral("The interface file %@ could not be read: %@"),
                         {path, file.errorString()});
    NVInterfaceFileLoader loader;
    std::unique_ptr<QWidget> root(loader.load(&file));
    if (!root)
        return loadError(FileCorruptCode, QStringLiteral("The interface file %@ could not be loaded: %@"),
                         {path, loader.errorString()});
    for (auto *view : root->findChildren<NVWindowResizingView *>())
        view->adoptDesignedSize();

    if (NVInterfaceFileLoader::isAutomaticLocalizationEnabled()) {
        QList<QObject *> topLevelObjects;
        for (QMenu *menu : root->findChildren<QMenu *>())
            if (!qobject_cast<QMenu *>(menu->parent()))
                topLevelObjects << menu;
        topLevelObjects << root.get();
        NVWidgetLocalization::localizeTopLevelObjects(topLevelObjects, QFileInfo(path).completeBaseName(), bundle);
    }
    return root;
}

QString describe(const QWidget *widget)
{
    return widget->objectName().isEmpty() ? QString::fromLatin1(widget->metaObject()->className()) : widget->objectName();
}

// Shows one controller property in one widget, and follows it.
class Binding : public QObject {
    Q_OBJECT
public:
    Binding(QWidget *widget, QObject *controller, QMetaProperty property)
        : QObject(widget), m_widget(widget), m_controller(controller), m_property(property)
    {
    }

public Q_SLOTS:
    void refresh()
    {
        if (!m_controller)
            return;
        const QVariant value = m_property.read(m_controller);
        if (auto *label = qobject_cast<QLabel *>(m_widget)) {
            if (value.metaType() == QMetaType::fromType<QPixmap>()) {
                label->setPixmap(value.value<QPixmap>());
                return;
            }
        }
        QString text = value.toString();
        const QString placeholder = m_widget->property(NVWidgetLocalization::BindingNullPlaceholderProperty).toString();
        if (text.isEmpty() && !placeholder.isEmpty())
            text = placeholder;
        const QString pattern = m_widget->property(NVWidgetLocalization::BindingDisplayPatternProperty).toString();
        if (!pattern.isEmpty())
            text = NVFormat::format(pattern, {text});
        // Widgets that fit their title take it through their own property.
        const bool hasTitle = m_widget->metaObject()->indexOfProperty("title") >= 0;
        m_widget->setProperty(hasTitle ? "title" : "text", text);
    }

private:
    QWidget *m_widget;
    QPointer<QObject> m_controller;
    QMetaProperty m_property;
};

NVResult<void> bind(QWidget *widget, QObject *controller)
{
    const QString name = widget->property(NVWidgetLocalization::BindingProperty).toString();
    const int index = controller->metaObject()->indexOfProperty(name.toUtf8().constData());
    if (index < 0)
        return loadError(FileCorruptCode, QStringLiteral("%@ is bound to %@, which %@ does not have"),
                         {describe(widget), name, QString::fromLatin1(controller->metaObject()->className())});
    const QMetaProperty property = controller->metaObject()->property(index);
    auto *binding = new Binding(widget, controller, property);
    if (property.hasNotifySignal())
        QObject::connect(controller, property.notifySignal(), binding,
                         binding->metaObject()->method(binding->metaObject()->indexOfSlot("refresh()")));
    binding->refresh();
    return {};
}

NVResult<void> connectAction(QAbstractButton *button, QObject *controller)
{
    const QString name = button->property(ActionProperty).toString();
    const QByteArray signature = QMetaObject::normalizedSignature((name + QStringLiteral("(QObject*)")).toUtf8());
    const int index = controller->metaObject()->indexOfMethod(signature.constData());
    if (index < 0)
        return loadError(FileCorruptCode, QStringLiteral("%@ sends %@, which %@ does not have"),
                         {describe(button), name, QString::fromLatin1(controller->metaObject()->className())});
    const QMetaMethod method = controller->metaObject()->method(index);
    QObject::connect(button, &QAbstractButton::clicked, controller,
                     [controller, method, button] { method.invoke(controller, Q_ARG(QObject *, button)); });
    return {};
}

} // namespace

void NVInterfaceFileLoader::enableAutomaticLocalization()
{
    automaticLocalization = true;
}

bool NVInterfaceFileLoader::isAutomaticLocalizationEnabled()
{
    return automaticLocalization;
}

NVResult<std::unique_ptr<QWidget>> NVInterfaceFileLoader::loadInterfaceFile(const QString &name, const NVBundle *bundle)
{
    const NVBundle *holder = bundle ? bundle : NVBundle::mainBundle();
    const QString path = holder->pathForResource(name, QStringLiteral("ui"));
    if (path.isEmpty())
        return loadError(FileMissingCode, QStringLiteral("The interface file %@.ui is missing from %@"),
                         {name, holder->bundlePath()});
    return loadFile(path, holder);
}

NVResult<std::unique_ptr<QWidget>> NVInterfaceFileLoader::loadInterfaceFileAtPath(const QString &path)
{
    return loadFile(path, bundleForFilePath(path));
}

const NVBundle *NVInterfaceFileLoader::bundleForFilePath(const QString &path)
{
    const qsizetype at = path.lastIndexOf(ResourcesInBundle);
    if (at > 0)
        if (const NVBundle *bundle = NVBundle::bundleWithPath(path.left(at)))
            return bundle;
    return NVBundle::mainBundle();
}

NVResult<void> NVInterfaceFileLoader::connectToController(QWidget *root, QObject *controller)
{
    QList<QWidget *> widgets = root->findChildren<QWidget *>();
    widgets.prepend(root);
    for (QWidget *widget : widgets) {
        if (widget->property(NVWidgetLocalization::BindingProperty).isValid())
            NV_TRY(bind(widget, controller));
        if (auto *button = qobject_cast<QAbstractButton *>(widget); button && button->property(ActionProperty).isValid())
            NV_TRY(connectAction(button, controller));
    }
    return {};
}

QWidget *NVInterfaceFileLoader::createWidget(const QString &className, QWidget *parent, const QString &name)
{
    QWidget *widget = nullptr;
    if (className == QLatin1String("NVWindowResizingView"))
        widget = new NVWindowResizingView(parent);
    else if (className == QLatin1String("NVAutoresizingBox"))
        widget = new NVAutoresizingBox(parent);
    else if (className == QLatin1String("NVAutoresizingButton"))
        widget = new NVAutoresizingButton(parent);
    else if (className == QLatin1String("NVDynamicAutoresizingButton"))
        widget = new NVDynamicAutoresizingButton(parent);
    else if (className == QLatin1String("NVAutoresizingPopUpButton"))
        widget = new NVAutoresizingPopUpButton(parent);
    else if (className == QLatin1String("NVProgressIndicator"))
        widget = new NVProgressIndicator(parent);
    if (!widget)
        return QUiLoader::createWidget(className, parent, name);
    widget->setObjectName(name);
    return widget;
}

#include "NVInterfaceFileLoader.moc"
