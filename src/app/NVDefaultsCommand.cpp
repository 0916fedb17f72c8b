#include "app/NVDefaultsCommand.h"

#include "foundation/NVPropertyList.h"
#include "platform/NVUserDefaults.h"
#include "foundation/NVValue.h"

#include <QDateTime>
#include <QTimeZone>

namespace {

const char usage[] =
    "usage: velkin-software-update defaults read [KEY]\n"
    "       velkin-software-update defaults write KEY [-string|-int|-float|-bool|-date|-data] VALUE\n"
    "       velkin-software-update defaults write KEY -array VALUE...\n"
    "       velkin-software-update defaults write KEY -dict KEY VALUE [KEY VALUE...]\n"
    "       velkin-software-update defaults delete KEY\n";

struct Parsed {
    QVariant value;
    QString problem;
};

Parsed scalar(const QString &type, const QString &text)
{
    if (type == QLatin1String("-string"))
        return {QVariant(text), {}};
    if (type == QLatin1String("-int") || type == QLatin1String("-integer")) {
        bool ok = false;
        const qint64 v = text.trimmed().toLongLong(&ok);
        if (ok)
            return {QVariant(v), {}};
        const quint64 u = text.trimmed().toULongLong(&ok);
        if (ok)
            return {QVariant(u), {}};
        return {{}, QStringLiteral("\"%1\" is not an integer").arg(text)};
    }
    if (type == QLatin1String("-float")) {
        bool ok = false;
        const double v = text.trimmed().toDouble(&ok);
        if (ok)
            return {QVariant(v), {}};
        return {{}, QStringLiteral("\"%1\" is not a number").arg(text)};
    }
    if (type == QLatin1String("-bool") || type == QLatin1String("-boolean")) {
        const QString word = text.trimmed().toLower();
        if (word == QLatin1String("yes") || word == QLatin1String("true") || word == QLatin1String("1"))
            return {QVariant(true), {}};
        if (word == QLatin1String("no") || word == QLatin1String("false") || word == QLatin1String("0"))
            return {QVariant(false), {}};
        return {{}, QStringLiteral("\"%1\" is not a boolean (use YES or NO)").arg(text)};
    }
    if (type == QLatin1String("-date")) {
        QDateTime date = QDateTime::fromString(text.trimmed(), Qt::ISODateWithMs);
        if (!date.isValid())
            date = QDateTime::fromString(text.trimmed(), QStringLiteral("yyyy-MM-dd HH:mm:ss t"));
        if (!date.isValid()) {
            // The form the settings print: "2026-12-05 16:02:21 +0000".
            QString t = text.trimmed();
            if (t.endsWith(QLatin1String(" +0000"))) {
                t.chop(6);
                date = QDateTime::fromString(t, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
                date.setTimeZone(QTimeZone::utc());
            }
        }
        if (date.isValid())
            return {QVariant(date.toUTC()), {}};
        return {{}, QStringLiteral("\"%1\" is not a date (use 2026-12-05T16:02:21Z)").arg(text)};
    }
    if (type == QLatin1String("-data")) {
        const QByteArray hex = text.trimmed().toLatin1();
        const bool plainHex = hex.size() % 2 == 0
            && std::all_of(hex.begin(), hex.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
        if (plainHex)
            return {QVariant(QByteArray::fromHex(hex)), {}};
        return {{}, QStringLiteral("\"%1\" is not hexadecimal data").arg(text)};
    }
    return {{}, QStringLiteral("unknown type %1").arg(type)};
}

QString printable(const QVariant &value)
{
    return NVValue::isString(value) ? value.toString() : NVValue::textForm(value);
}

int read(const QStringList &args, NVUserDefaults &defaults, QTextStream &out, QTextStream &err)
{
    defaults.synchronize(); // also repairs a damaged file
    const QVariantMap domain = defaults.persistentDomain();
    if (args.size() == 1) {
        out << NVValue::textForm(QVariant(domain)) << '\n';
        return 0;
    }
    if (args.size() != 2) {
        err << usage;
        return 2;
    }
    const auto it = domain.constFind(args.at(1));
    if (it == domain.constEnd()) {
        err << "The setting " << args.at(1) << " does not exist in " << defaults.domain() << ".\n";
        return 1;
    }
    out << printable(it.value()) << '\n';
    return 0;
}

int write(const QStringList &args, NVUserDefaults &defaults, QTextStream &err)
{
    if (args.size() < 3) {
        err << usage;
        return 2;
    }
    const QString key = args.at(1);
    const QString type = args.at(2);
    const QStringList values = args.mid(3);
    QVariant value;
    if (type == QLatin1String("-array") || type == QLatin1String("-array-add")) {
        QVariantList list = type == QLatin1String("-array-add") ? defaults.arrayForKey(key) : QVariantList();
        for (const QString &v : values)
            list << v;
        value = list;
    } else if (type == QLatin1String("-dict")) {
        if (values.size() % 2 != 0) {
            err << "A dictionary needs a value for every key.\n";
            return 1;
        }
        QVariantMap map;
        for (qsizetype i = 0; i < values.size(); i += 2)
            map.insert(values.at(i), values.at(i + 1));
        value = map;
    } else if (type.startsWith(u'-') && type.size() > 1 && values.size() <= 1) {
        if (values.isEmpty()) {
            err << "No value given for " << key << ".\n";
            return 1;
        }
        const Parsed parsed = scalar(type, values.first());
        if (!parsed.value.isValid()) {
            err << "Cannot write " << key << ": " << parsed.problem << ".\n";
            return 1;
        }
        value = parsed.value;
    } else if (args.size() == 3) {
        // No type given: the value is read as a text property list, so
        // "(a, b)" becomes an array; anything else stays the string it is.
        NVResult<QVariant> parsed = NVPropertyList::readText(QStringView(type));
        value = parsed ? *parsed : QVariant(type);
    } else {
        err << "Cannot write " << key << ": too many values.\n";
        return 1;
    }
    defaults.setObject(value, key);
    if (!defaults.synchronize()) {
        err << "Cannot save the settings file " << defaults.filePath() << ".\n";
        return 1;
    }
    return 0;
}

int remove(const QStringList &args, NVUserDefaults &defaults, QTextStream &err)
{
    if (args.size() != 2) {
        err << usage;
        return 2;
    }
    defaults.synchronize();
    if (!defaults.persistentDomain().contains(args.at(1))) {
        err << "The setting " << args.at(1) << " does not exist in " << defaults.domain() << ".\n";
        return 1;
    }
    defaults.removeObject(args.at(1));
    if (!defaults.synchronize()) {
        err << "Cannot save the settings file " << defaults.filePath() << ".\n";
        return 1;
    }
    return 0;
}

} // namespace

int NVRunDefaultsCommand(const QStringList &arguments, NVUserDefaults &defaults, QTextStream &out, QTextStream &err)
{
    const QString verb = arguments.value(0);
    if (verb == QLatin1String("read"))
        return read(arguments, defaults, out, err);
    if (verb == QLatin1String("write"))
        return write(arguments, defaults, err);
    if (verb == QLatin1String("delete"))
        return remove(arguments, defaults, err);
    if (verb == QLatin1String("help") || verb == QLatin1String("--help") || verb == QLatin1String("-h")) {
        out << usage;
        return 0;
    }
    err << usage;
    return 2;
}
