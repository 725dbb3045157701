// libFuzzer target: the reader of the replace journal, which the updater trusts at every start.
// Whatever a journal holds, reading it ends; a plan it accepts names only paths inside the
// installation (staged names beside their files, backups in old/), and reads back the same once
// written again.
#include "replacejournal.h"
#include "updatelists.h"

#include <cstdint>
#include <cstdlib>

namespace {

bool staysInside(const RollbackData& change)
{
    const bool file = change.type != CreatedDir && change.type != FolderForFile;
    const bool kept = change.type == ReplacedFile || change.type == FolderForFile || change.type == FileForFolder;
    return isSafeRelativePath(change.path) && (file ? isStagedPathOf(change.stagedPath, change.path) : change.stagedPath.isEmpty())
           && (kept ? isBackupPath(change.backupPath) : change.backupPath.isEmpty())
           && (change.earlierBackup.isEmpty() || isBackupPath(change.earlierBackup));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const JournalContents journal = readReplaceJournal(QByteArray(reinterpret_cast<const char*>(data), int(size)));
    if (journal.status != JournalContents::Plan) {
        if (journal.committed || !journal.plan.isEmpty())
            std::abort();
        return 0;
    }
    for (const RollbackData& change : journal.plan) {
        if (!staysInside(change))
            std::abort();
    }
    const JournalContents again = readReplaceJournal(replaceJournalText(journal.plan, journal.committed));
    if (again.status != JournalContents::Plan || again.committed != journal.committed || !(again.plan == journal.plan))
        std::abort();
    return 0;
}
