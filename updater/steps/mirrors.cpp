#include "mirrors.h"

#include "initext.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QSettings>

Mirrors::Mirrors(QObject* parent)
    : QObject(parent)
    , random([](quint32 bound) { return QRandomGenerator::global()->bounded(bound); })
{
}

Mirrors::~Mirrors() = default;

QNetworkAccessManager* Mirrors::networkFor(const MirrorRecord& mirror, QNetworkAccessManager* model)
{
    QNetworkAccessManager*& network = networks[mirror.name];
    if (!network) {
        network = new QNetworkAccessManager(this);
        network->setProxy(model->proxy());
        connect(network, &QNetworkAccessManager::finished, this, &Mirrors::transferFinished);
    }
    return network;
}

void Mirrors::setRandomSource(RandomSource source)
{
    random = std::move(source);
}

QString Mirrors::versionedUrl(QString base, int version)
{
    if (!base.endsWith('/'))
        base += '/';
    return base + QString::number(version);
}

bool Mirrors::loadMirrorsIni(const QString& path, int version)
{
    QSettings ini(path, QSettings::IniFormat);
    const int first = mirrors.size();
    const int size = ini.beginReadArray("mirrors");
    if (size > maxMirrors) {
        ini.endArray();
        emit fatalError(tr("%1 lists %2 mirrors; at most %3 are allowed").arg(path).arg(size).arg(maxMirrors));
        return false;
    }
    for (int i = 0; i < size; ++i) {
        ini.setArrayIndex(i);
        MirrorRecord record;
        record.name = iniText(ini, "mirror").trimmed();
        if (record.name.isEmpty())
            continue;
        // Every lookup goes by name: a second record of one name could never be found again.
        if (indexOf(record.name) >= 0) {
            emit message(tr("Mirror %1 is listed more than once, ignoring the later entry").arg(record.name));
            continue;
        }
        mirrors.append(record);
    }
    ini.endArray();

    for (int i = first; i < mirrors.size(); ++i) {
        MirrorRecord& record = mirrors[i];
        ini.beginGroup(record.name);
        record.url = versionedUrl(iniText(ini, "url"), version);
        record.retries = int(ini.value("retries", 2u).toUInt());
        if (record.retries < 1)
            record.retries = 2;
        ini.endGroup();
    }
    return true;
}

bool Mirrors::loadAlphaMirror(const QString& updateIniPath, int version)
{
    QSettings ini(updateIniPath, QSettings::IniFormat);
    const QString alpha = iniText(ini, "Channel/alpha");
    if (alpha.isEmpty()) {
        emit fatalError("Alpha parameter in channel section in update ini file not found");
        return false;
    }
    MirrorRecord record;
    record.name = "Alpha Channel";
    record.url = versionedUrl(alpha, version);
    record.retries = 4;
    mirrors.append(record);
    return true;
}

Mirrors::AcquireResult Mirrors::acquireMirror(MirrorRecord& mirror)
{
    if (mirrors.isEmpty()) {
        if (!noMirrorsReported) {
            noMirrorsReported = true;
            emit message(tr("There are no (more) known working mirrors available"));
        }
        return NoMirrors;
    }
    int capacity = 0, inUse = 0;
    for (const MirrorRecord& m : qAsConst(mirrors)) {
        capacity += m.capacity;
        inUse += m.inUse;
    }
    if (capacity <= inUse)
        return AllBusy;

    int r = int(random(quint32(capacity - inUse)));
    for (MirrorRecord& m : mirrors) {
        r -= m.capacity - m.inUse;
        if (r < 0) {
            ++m.inUse;
            mirror = m;
            return Acquired;
        }
    }
    return NoMirrors;
}

int Mirrors::indexOf(const QString& name) const
{
    if (name.isEmpty())
        return -1;
    for (int i = 0; i < mirrors.size(); ++i) {
        if (mirrors[i].name == name)
            return i;
    }
    return -1;
}

void Mirrors::releaseMirror(const MirrorRecord& mirror)
{
    const int i = indexOf(mirror.name);
    // A use is never given back twice; the count cannot drop below zero.
    if (i >= 0 && mirrors[i].inUse > 0)
        --mirrors[i].inUse;
}

void Mirrors::markMirrorFailed(const MirrorRecord& mirror)
{
    const int i = indexOf(mirror.name);
    if (i < 0)
        return;
    if (++mirrors[i].failures > mirrors[i].retries) {
        emit message(tr("Mirror %1 failed too many times, removing").arg(mirror.name));
        mirrors.remove(i);
    }
}

void Mirrors::removeMirror(const MirrorRecord& mirror)
{
    const int i = indexOf(mirror.name);
    if (i >= 0)
        mirrors.remove(i);
}
