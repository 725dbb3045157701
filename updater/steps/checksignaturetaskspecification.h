#pragma once
// Verifies a file: against an expected MD5 sum, or, when none is given, against its detached
// RSA-PSS signature file (path + ".sig") with the public key built into the program.

#include "asynctaskspecification.h"

#include <atomic>
#include <memory>

class CheckSigFunc : public ASyncFunc
{
    Q_OBJECT

public:
    // `unreadable` is set when the check failed because a local file could not be read (and not
    // because of what it holds).
    CheckSigFunc(const QString& filePath, const QString& expectedMd5, std::shared_ptr<std::atomic<bool>> unreadable);
    bool run() override;

    // Largest file whose signature is checked (a product description is far smaller) and
    // largest signature file read.
    static constexpr qint64 maxSignedFileSize = 8 * 1024 * 1024;
    static constexpr qint64 maxSignatureSize = 4096;

private:
    bool checkMd5();
    bool checkSignature();
    bool readWholeFile(const QString& path, qint64 maxSize, QByteArray& content);

    QString filePath;
    QString expectedMd5;
    std::shared_ptr<std::atomic<bool>> unreadable;
};

// MD5 of a file as lower-case hexadecimal text, read as a stream; empty when the file cannot be
// read, with the message in *problem and the system's reason ("<path>: <reason>") in *reason.
QString fileMd5(const QString& path, QString* problem = nullptr, QString* reason = nullptr);

class CheckSignatureTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    CheckSignatureTaskSpecification(const QString& filePath, const QString& expectedMd5, bool abortOnFail,
                                    QObject* parent, double weight);

signals:
    // The file was read and checked. A file that cannot be read at all is the installation's
    // trouble, not its sender's: the task then fails without this signal.
    void checkDone(bool pass, CheckSignatureTaskSpecification* task);

protected:
    ASyncFunc* createFunc() override;
    void handleRunResult(bool res) override;

private:
    QString filePath;
    QString expectedMd5;
    bool abortOnFail;
    std::shared_ptr<std::atomic<bool>> unreadable;
};
