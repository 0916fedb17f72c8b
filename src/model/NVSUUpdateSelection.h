#pragma once

#include "model/NVSUUpdate.h"

#include <QString>
#include <QVariantList>

#include <optional>

class NVUserDefaults;

// User defaults the selection reads.
inline const QString SoftwareUpdateSkippedVersionsArrayKey = QStringLiteral("SoftwareUpdateSkippedVersionsArray");
inline const QString SoftwareUpdateShowPreReleaseVersionsKey = QStringLiteral("SoftwareUpdateShowPreReleaseVersions");

// What the selection needs to know about the check it serves: the driver's
// state at the time it selects.
struct NVSUSelectionState {
    // The user asked for this check: versions the user skipped are offered again.
    bool isRunningInteractively = false;
    // Pre-release entries may be left out (unless the user wants them).
    bool canSkipPreReleaseVersions = true;
};

// The choice of the one update to offer from a feed's entries. The driver
// keeps the result as its selected update; the functions themselves hold no
// state, so they can be run on any list of entries.
namespace NVSUUpdateSelection {

// True when the update's version number is in "SoftwareUpdateSkippedVersionsArray"
// (exact string equality; absent or not an array reads as empty) and the
// check is not interactive. Any thread.
bool shouldIgnoreUpdate(const NVSUUpdate &update, const NVSUSelectionState &state, const NVUserDefaults &defaults);

// Walks the entries once, in order, and answers the best update that
// survives, nothing when none does. Each entry is rejected at the first rule
// it breaks, with one log line:
//   not a dictionary        "Ignoring invalid entry of class %@"
//   invalid description     "Invalid entry ignored: %@" (after the validation's own line)
//   unknown mechanism       "Installation mechanism '%@' not supported, skipping version %@."
//   unwanted pre-release    "Skipping pre-release version %@."
//   not newer than installed  "Skipping update to %@ because we already have %@"  (debug)
//   cannot run here         "Skipping update to %@ because it is incompatible with OS"  (debug;
//                           not asked when automatic update is suppressed)
//   skipped by the user     "Skipping update to %@ due to previous user request"  (debug)
//   no better than the best "Skipping update to %@ because update to %@ already matched"  (debug)
// The installed version is read afresh for every entry. Any thread, though
// the standard defaults it is usually given belong to the main thread.
std::optional<NVSUUpdate> selectUpdateFromArray(const QVariantList &entries, const NVSUSelectionState &state,
                                                const NVUserDefaults &defaults);

} // namespace NVSUUpdateSelection
