#include "widgets/NVWidgetLocalization.h"

#include "localization/NVLocalization.h"

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QSet>
#include <QStandardItemModel>
#include <QTabBar>
#include <QTableWidget>
#include <QTextEdit>
#include <QToolButton>
#include <QTreeWidget>

#include <functional>
#include <utility>

namespace NVWidgetLocalization {

namespace {

enum class Scope { WholeClass, ControlOnly };

class Localizer {
public:
    Localizer(QString table, const NVBundle *bundle) : m_table(std::move(table)), m_bundle(bundle) {}

    void object(QObject *object);
    void widget(QWidget *widget, Scope scope);

private:
    // Looks text up and hands a differing translation to set.
    void text(const QString &text, const std::function<void(const QString &)> &set) const
    {
        if (text.isEmpty())
            return;
        const QString localized = NVLocalization::localizedStringFromTable(text, m_table, m_bundle);
        if (localized != text)
            set(localized);
    }
    void stringProperty(QObject *object, const char *name) const
    {
        text(object->property(name).toString(), [&](const QString &t) { object->setProperty(name, t); });
    }
    void viewTexts(QWidget *widget) const;
    void controlTitle(QWidget *widget) const;
    void classTexts(QWidget *widget) const;
    void action(QAction *action);
    void menu(QMenu *menu);
    bool firstVisit(QObject *object) { return !std::exchange(m_done[object], true); }

    const QString m_table;
    const NVBundle *m_bundle;
    // An object reachable along two ways (a menu is a child widget and the
    // menu of an action) is localized once: a translation looked up again
    // would be taken for a key.
    QHash<const QObject *, bool> m_done;
};

void Localizer::object(QObject *object)
{
    if (auto *localizable = dynamic_cast<NVLocalizable *>(object)) {
        if (firstVisit(object))
            localizable->localizeWithTable(m_table, m_bundle);
    } else if (auto *m = qobject_cast<QMenu *>(object)) {
        menu(m);
    } else if (auto *w = qobject_cast<QWidget *>(object)) {
        if (firstVisit(object))
            widget(w, Scope::WholeClass);
    } else if (auto *a = qobject_cast<QAction *>(object)) {
        action(a);
    }
}

void Localizer::widget(QWidget *widget, Scope scope)
{
    for (QObject *child : widget->children())
        if (child->isWidgetType() || qobject_cast<QAction *>(child))
            object(child);
    viewTexts(widget);
    controlTitle(widget);
    if (scope == Scope::WholeClass)
        classTexts(widget);
    for (QAction *a : widget->actions())
        action(a);
}

void Localizer::viewTexts(QWidget *widget) const
{
    if (widget->isWindow())
        text(widget->windowTitle(), [&](const QString &t) { widget->setWindowTitle(t); });
    text(widget->toolTip(), [&](const QString &t) { widget->setToolTip(t); });
    text(widget->accessibleName(), [&](const QString &t) { widget->setAccessibleName(t); });
    text(widget->accessibleDescription(), [&](const QString &t) { widget->setAccessibleDescription(t); });
    if (widget->property(BindingProperty).isValid()) {
        stringProperty(widget, BindingDisplayPatternProperty);
        stringProperty(widget, BindingNullPlaceholderProperty);
    }
}

void Localizer::controlTitle(QWidget *widget) const
{
    if (auto *button = qobject_cast<QAbstractButton *>(widget)) {
        auto *toolButton = qobject_cast<QToolButton *>(button);
        if (!(toolButton && toolButton->toolButtonStyle() == Qt::ToolButtonIconOnly))
            text(button->text(), [&](const QString &t) { button->setText(t); });
    } else if (auto *label = qobject_cast<QLabel *>(widget)) {
        text(label->text(), [&](const QString &t) { label->setText(t); });
    } else if (auto *combo = qobject_cast<QComboBox *>(widget)) {
        const int index = combo->currentIndex();
        if (index >= 0)
            text(combo->itemText(index), [&](const QString &t) { combo->setItemText(index, t); });
    } else if (auto *group = qobject_cast<QGroupBox *>(widget)) {
        text(group->title(), [&](const QString &t) { group->setTitle(t); });
    }
}

void Localizer::classTexts(QWidget *widget) const
{
    if (auto *edit = qobject_cast<QLineEdit *>(widget)) {
        text(edit->placeholderText(), [&](const QString &t) { edit->setPlaceholderText(t); });
    } else if (auto *edit = qobject_cast<QTextEdit *>(widget)) {
        text(edit->placeholderText(), [&](const QString &t) { edit->setPlaceholderText(t); });
    } else if (auto *edit = qobject_cast<QPlainTextEdit *>(widget)) {
        text(edit->placeholderText(), [&](const QString &t) { edit->setPlaceholderText(t); });
    } else if (auto *combo = qobject_cast<QComboBox *>(widget)) {
        text(combo->placeholderText(), [&](const QString &t) { combo->setPlaceholderText(t); });
        // Items that someone else's model holds are that model's business.
        if (qobject_cast<QStandardItemModel *>(combo->model()) && combo->model()->parent() == combo) {
            const int current = combo->currentIndex();
            for (int i = 0; i < combo->count(); ++i)
                if (i != current) // the current one went with the control's title
                    text(combo->itemText(i), [&](const QString &t) { combo->setItemText(i, t); });
        }
    } else if (auto *tabs = qobject_cast<QTabBar *>(widget)) {
        for (int i = 0; i < tabs->count(); ++i) {
            text(tabs->tabText(i), [&](const QString &t) { tabs->setTabText(i, t); });
            text(tabs->tabToolTip(i), [&](const QString &t) { tabs->setTabToolTip(i, t); });
        }
    } else if (auto *tree = qobject_cast<QTreeWidget *>(widget)) {
        if (QTreeWidgetItem *header = tree->headerItem())
            for (int column = 0; column < header->columnCount(); ++column) {
                text(header->text(column), [&](const QString &t) { header->setText(column, t); });
                text(header->toolTip(column), [&](const QString &t) { header->setToolTip(column, t); });
            }
    } else if (auto *table = qobject_cast<QTableWidget *>(widget)) {
        const auto headerItem = [&](QTableWidgetItem *item) {
            if (!item)
                return;
            text(item->text(), [&](const QString &t) { item->setText(t); });
            text(item->toolTip(), [&](const QString &t) { item->setToolTip(t); });
        };
        for (int column = 0; column < table->columnCount(); ++column)
            headerItem(table->horizontalHeaderItem(column));
        for (int row = 0; row < table->rowCount(); ++row)
            headerItem(table->verticalHeaderItem(row));
    }
}

void Localizer::action(QAction *action)
{
    if (action->isSeparator() || !firstVisit(action))
        return;
    if (QMenu *submenu = action->menu()) {
        // The menu's title is this action's text; the menu localizes it.
        menu(submenu);
        return;
    }
    // A tool tip that was never set follows the text; only a tool tip of
    // its own is a text of the file.
    const bool ownToolTip = action->toolTip() != QString(action->text()).remove(u'&');
    text(action->text(), [&](const QString &t) { action->setText(t); });
    if (ownToolTip)
        text(action->toolTip(), [&](const QString &t) { action->setToolTip(t); });
    text(action->statusTip(), [&](const QString &t) { action->setStatusTip(t); });
    text(action->whatsThis(), [&](const QString &t) { action->setWhatsThis(t); });
}

void Localizer::menu(QMenu *menu)
{
    if (!firstVisit(menu))
        return;
    firstVisit(menu->menuAction());
    text(menu->title(), [&](const QString &t) { menu->setTitle(t); });
    text(menu->toolTip(), [&](const QString &t) { menu->setToolTip(t); });
    text(menu->accessibleName(), [&](const QString &t) { menu->setAccessibleName(t); });
    text(menu->accessibleDescription(), [&](const QString &t) { menu->setAccessibleDescription(t); });
    for (QAction *a : menu->actions())
        action(a);
}

} // namespace

void localizeTopLevelObjects(const QList<QObject *> &objects, const QString &table, const NVBundle *bundle)
{
    // Menus first, as in the platform's own files: a window's texts may
    // refer to menu items by their localized names.
    Localizer localizer(table, bundle);
    for (QObject *object : objects)
        if (qobject_cast<QMenu *>(object) || qobject_cast<QMenuBar *>(object))
            localizer.object(object);
    for (QObject *object : objects)
        localizer.object(object);
}

void localizeObject(QObject *object, const QString &table, const NVBundle *bundle)
{
    Localizer(table, bundle).object(object);
}

void localizeWidget(QWidget *widget, const QString &table, const NVBundle *bundle)
{
    Localizer(table, bundle).widget(widget, Scope::WholeClass);
}

void localizeControl(QWidget *widget, const QString &table, const NVBundle *bundle)
{
    Localizer(table, bundle).widget(widget, Scope::ControlOnly);
}

} // namespace NVWidgetLocalization
