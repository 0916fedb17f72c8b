#pragma once

#include "localization/NVLocalization.h"
#include "model/NVSUUpdate.h"

#include <QList>
#include <QString>

// The texts that present an update, shared by the update window and the
// terminal interface, from the table "NVSoftwareUpdate".
namespace NVSUUpdateTexts {

// "A new version of Velkin is available." Any thread.
QString messageText(const QString &bundleName);

// One sentence of the informative text. A sentence that says the update
// cannot run on this system is marked, so that a window can set it apart.
struct Piece {
    QString text;
    bool incompatible = false;
};
// The sentences, in order: which version is offered over which, why it
// cannot run here (only when it cannot), and the question. Any thread.
QList<Piece> informativeTextPieces(const NVSUUpdate &update, const QString &bundleName);
// The same as one paragraph, the sentences separated by one blank. Any thread.
QString informativeText(const NVSUUpdate &update, const QString &bundleName);

// The title of the update button: install, or open the download page. Any thread.
QString commitButtonTitle(const NVSUUpdate &update);

} // namespace NVSUUpdateTexts
