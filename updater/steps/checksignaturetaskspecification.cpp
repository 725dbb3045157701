#include "checksignaturetaskspecification.h"

#include "cryptwrapper.h"
#include "fileopfault.h"

#include <QCryptographicHash>
#include <QFile>

QString fileMd5(const QString& path, QString* problem, QString* reason)
{
    QFile file(path);
    auto failed = [&](const QString& text) {
        if (problem)
            *problem = text;
        if (reason)
            *reason = path + QStringLiteral(": ") + file.errorString();
        return QString();
    };
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return failed(QString("Could not open file %1 for reading").arg(path));
    QCryptographicHash hash(QCryptographicHash::Md5);
    // Large reads straight into one buffer (QCryptographicHash reads a device 1 KB at a time).
    QByteArray block(256 * 1024, Qt::Uninitialized);
    for (;;) {
        const qint64 got = file.read(block.data(), block.size());
        if (got < 0)
            return failed(QString("could not read file %1 correctly").arg(path));
        if (got == 0)
            break;
        hash.addData(block.constData(), int(got));
    }
    return QString::fromLatin1(hash.result().toHex());
}

CheckSigFunc::CheckSigFunc(const QString& filePath, const QString& expectedMd5,
                           std::shared_ptr<std::atomic<bool>> unreadable)
    : filePath(filePath)
    , expectedMd5(expectedMd5)
    , unreadable(std::move(unreadable))
{
}

bool CheckSigFunc::run()
{
    if (injectedFileOpFault("check", filePath))
        return false;
    return expectedMd5.isEmpty() ? checkSignature() : checkMd5();
}

bool CheckSigFunc::checkMd5()
{
    QString problem, reason;
    const QString md5 = fileMd5(filePath, &problem, &reason);
    if (md5.isEmpty()) {
        *unreadable = true;
        emit message(problem);
        emit message(reason);
        return false;
    }
    return md5.compare(expectedMd5, Qt::CaseInsensitive) == 0;
}

bool CheckSigFunc::readWholeFile(const QString& path, qint64 maxSize, QByteArray& content)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *unreadable = true;
        emit message(QString("Could not open file %1 for reading").arg(path));
        emit message(path + QStringLiteral(": ") + file.errorString());
        return false;
    }
    const qint64 size = file.size();
    if (size > maxSize) {
        emit message(QString("File %1 is too large to be checked").arg(path));
        return false;
    }
    content = file.read(size);
    if (content.size() != size) {
        *unreadable = true;
        emit message(QString("could not read file %1 correctly").arg(path));
        emit message(path + QStringLiteral(": ") + file.errorString());
        return false;
    }
    return true;
}

bool CheckSigFunc::checkSignature()
{
    QByteArray data, signature;
    if (!readWholeFile(filePath, maxSignedFileSize, data))
        return false;
    if (!readWholeFile(filePath + ".sig", maxSignatureSize, signature))
        return false;
    try {
        const EmbeddedKey der = builtinPublicKey();
        auto key = importPublicKey(der.data, der.size);
        return verifyPssSignature(*key, reinterpret_cast<const unsigned char*>(data.constData()), size_t(data.size()),
                                  reinterpret_cast<const unsigned char*>(signature.constData()),
                                  size_t(signature.size()));
    } catch (const crypt_exception&) {
        return false;
    }
}

CheckSignatureTaskSpecification::CheckSignatureTaskSpecification(const QString& filePath, const QString& expectedMd5,
                                                                 bool abortOnFail, QObject* parent, double weight)
    : ASyncTaskSpecification(parent, weight)
    , filePath(filePath)
    , expectedMd5(expectedMd5)
    , abortOnFail(abortOnFail)
{
}

ASyncFunc* CheckSignatureTaskSpecification::createFunc()
{
    unreadable = std::make_shared<std::atomic<bool>>(false);
    return new CheckSigFunc(filePath, expectedMd5, unreadable);
}

void CheckSignatureTaskSpecification::handleRunResult(bool res)
{
    if (state != Running)
        return;
    if (res) {
        emit checkDone(true, this);
        finish();
        return;
    }
    emit message(QString("Signature check failed for %1").arg(filePath));
    if (unreadable && *unreadable) {
        fail();
        return;
    }
    emit checkDone(false, this);
    // The listener may have reset this step (and with it, this task) to try again.
    if (state != Running)
        return;
    if (abortOnFail)
        fail();
    else
        finish();
}
