#include "extractionplan.h"

#include "extract.h"
#include "globals.h"
#include "zipindex.h"

#include <QTextCodec>

namespace {

enum class NameCheck { Usable, Empty, Unsafe };

// Splits an entry name into its path below the extraction folder; `folder` tells whether the
// name ends with a separator.
NameCheck cleanEntryName(QString name, QStringList &components, bool &folder)
{
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    folder = name.endsWith(QLatin1Char('/'));
    if (folder)
        name.chop(1);
    if (name.startsWith(QLatin1Char('/')) || name.contains(QChar()))
        return NameCheck::Unsafe;
    components.clear();
    const QStringList parts = name.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        if (part.isEmpty() || part == QLatin1String(".."))
            return parts.size() == 1 && part.isEmpty() ? NameCheck::Empty : NameCheck::Unsafe;
        if (part != QLatin1String("."))
            components.append(part);
    }
    return components.isEmpty() ? NameCheck::Empty : NameCheck::Usable;
}

bool isUtf8(const QByteArray &bytes)
{
    static QTextCodec *const utf8 = QTextCodec::codecForMib(106);
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    utf8->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
}

QString methodName(quint16 method)
{
    switch (method) {
    case 1: return QStringLiteral("Shrink");
    case 2: case 3: case 4: case 5: return QStringLiteral("Reduce");
    case 6: case 10: return QStringLiteral("Implode");
    case 9: return QStringLiteral("Deflate64");
    case 12: return QStringLiteral("bzip2");
    case 14: return QStringLiteral("LZMA");
    case 20: case 93: return QStringLiteral("Zstandard");
    case 94: return QStringLiteral("MP3");
    case 95: return QStringLiteral("XZ");
    case 96: return QStringLiteral("JPEG");
    case 97: return QStringLiteral("WavPack");
    case 98: return QStringLiteral("PPMd");
    default: return QString();
    }
}

// Why the data of an entry that is to be written cannot be; empty when it can.
QString entryProblemText(ZipIndex::EntryProblem problem, quint16 method)
{
    switch (problem) {
    case ZipIndex::EntryProblem::None:
        return QString();
    case ZipIndex::EntryProblem::Encrypted:
        return installerText("encrypted entries are not supported");
    case ZipIndex::EntryProblem::Zip64:
        return installerText("entries of 4 GiB or more (zip64) are not supported");
    case ZipIndex::EntryProblem::Method:
        return methodName(method).isEmpty()
            ? installerText("compression method %1 is not supported").arg(method)
            : installerText("%1 compression is not supported").arg(methodName(method));
    case ZipIndex::EntryProblem::Damaged:
        break;
    }
    return installerText("the entry is damaged");
}

// Whether a usable entry is extracted; raises `hasPlugins` for anything in the plug-in folder.
bool isKept(const QStringList &components, bool folder, bool &hasPlugins)
{
    if (!folder && components.last() == packageInfoName())
        return true;
    // A folder entry names its folder itself; a file belongs to the folder above it.
    if (!folder && components.size() == 1)
        return false;
    if (components.first() == QLatin1String("plugins"))
        hasPlugins = true;
    return topFolders().contains(components.first());
}

} // namespace

ExtractionPlan planExtraction(const ZipIndex &index, const QVector<EntryKind> &kinds)
{
    ExtractionPlan plan;
    const QVector<ZipEntryRecord> &records = index.entries();
    const auto refuse = [&plan](const QString &text) {
        plan.refusal = text;
        plan.items.clear();
        return plan;
    };
    for (int i = 0; i < records.size(); ++i) {
        const ZipEntryRecord &record = records.at(i);
        const QString name = QString::fromUtf8(record.rawName);
        const auto failed = [&name](const QString &why) {
            return installerText("Failed to extract: %1: %2").arg(name, why);
        };
        if (!isUtf8(record.rawName))
            return refuse(installerText("Invalid entry name (not UTF-8): %1").arg(name));
        ExtractionPlan::Item item;
        item.entry = i;
        const NameCheck check = cleanEntryName(name, item.components, item.folder);
        if (check == NameCheck::Unsafe)
            return refuse(failed(installerText("unsafe entry name")));
        const EntryKind kind = kinds.value(i, EntryKind::Other);
        if (kind == EntryKind::Other)
            return refuse(failed(installerText("neither a file, a folder nor a link")));
        item.folder = item.folder || kind == EntryKind::Folder;
        // Links are never created: they could point anywhere.
        if (check == NameCheck::Empty || !isKept(item.components, item.folder, plan.hasPlugins)
            || kind == EntryKind::Link)
            continue;
        if (item.folder) {
            ++plan.need.folders;
        } else {
            const QString problem = entryProblemText(index.entryProblem(i), record.method);
            if (!problem.isEmpty())
                return refuse(failed(problem));
            plan.need.fileSizes.append(record.uncompressedSize);
        }
        plan.items.append(item);
    }
    return plan;
}
