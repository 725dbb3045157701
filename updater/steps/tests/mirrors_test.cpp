#include "mirrors.h"

#include <QCoreApplication>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

class MirrorsTest : public ::testing::Test
{
protected:
    QString writeIni(const QByteArray& text)
    {
        const QString path = dir.filePath("mirrors.ini");
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
        return path;
    }

    // Three mirrors a, b, c with capacity 1 each and the default retries.
    void loadThree()
    {
        mirrors.loadMirrorsIni(writeIni("[mirrors]\nsize=3\n1\\mirror=a\n2\\mirror=b\n3\\mirror=c\n"
                                        "[a]\nurl=http://a\n[b]\nurl=http://b\n[c]\nurl=http://c\n"),
                               7);
    }

    QStringList names() const
    {
        QStringList out;
        for (const MirrorRecord& m : mirrors.list())
            out << m.name;
        return out;
    }

    QTemporaryDir dir;
    Mirrors mirrors;
};

TEST_F(MirrorsTest, LoadsMirrorsIniWithDefaults)
{
    // A name listed twice keeps its first entry: the later one could never be found by name.
    const QString path = writeIni("[mirrors]\nsize=7\n"
                                  "1\\mirror=  one  \n2\\mirror=\"   \"\n3\\mirror=two\n4\\mirror=three\n"
                                  "5\\mirror=four\n6\\mirror=five\n7\\mirror= two\n"
                                  "[one]\nurl=http://one.example/updates/\nretries=0\n"
                                  "[%20%20%20]\nurl=http://blank\n"
                                  "[two]\nurl=http://two.example\nretries=-3\n"
                                  "[three]\nurl=http://three.example\n"
                                  "[four]\nurl=http://four.example\nretries=1\n"
                                  "[five]\nurl=http://five.example\nretries=4294967295\n");
    QSignalSpy messages(&mirrors, &Mirrors::message);
    EXPECT_TRUE(mirrors.loadMirrorsIni(path, 1234));
    ASSERT_EQ((QStringList{"one", "two", "three", "four", "five"}), names());
    ASSERT_EQ(1, messages.count());
    EXPECT_EQ("Mirror two is listed more than once, ignoring the later entry", messages[0][0].toString());
    const QVector<MirrorRecord>& l = mirrors.list();
    EXPECT_EQ("http://one.example/updates/1234", l[0].url);
    EXPECT_EQ("http://two.example/1234", l[1].url);
    EXPECT_EQ(2, l[0].retries);
    EXPECT_EQ(2, l[1].retries);
    EXPECT_EQ(2, l[2].retries);
    EXPECT_EQ(1, l[3].retries);
    EXPECT_EQ(2, l[4].retries);
    for (const MirrorRecord& m : l) {
        EXPECT_EQ(1, m.capacity);
        EXPECT_EQ(15, m.idleTimeoutTicks);
        EXPECT_EQ(0, m.inUse);
        EXPECT_EQ(0, m.failures);
    }

    // A size that would take the start-up through millions of entries is refused at once.
    Mirrors many;
    QSignalSpy fatal(&many, &Mirrors::fatalError);
    const QString huge = writeIni("[mirrors]\nsize=100000000\n1\\mirror=one\n");
    EXPECT_FALSE(many.loadMirrorsIni(huge, 1));
    ASSERT_EQ(1, fatal.count());
    EXPECT_EQ(huge + " lists 100000000 mirrors; at most 64 are allowed", fatal[0][0].toString());
    EXPECT_TRUE(many.list().isEmpty());
}

TEST_F(MirrorsTest, MissingFileLoadsNothingAndFirstAcquireReportsOnce)
{
    QSignalSpy messages(&mirrors, &Mirrors::message);
    EXPECT_TRUE(mirrors.loadMirrorsIni(dir.filePath("absent.ini"), 1));
    EXPECT_TRUE(mirrors.list().isEmpty());
    MirrorRecord m;
    EXPECT_EQ(Mirrors::NoMirrors, mirrors.acquireMirror(m));
    EXPECT_EQ(Mirrors::NoMirrors, mirrors.acquireMirror(m));
    ASSERT_EQ(1, messages.count());
    EXPECT_EQ("There are no (more) known working mirrors available", messages[0][0].toString());
}

TEST_F(MirrorsTest, AlphaMirror)
{
    QFile f(dir.filePath("update.ini"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    // A comma does not cut the address (the configuration takes the same text for the channel).
    f.write("[Channel]\nalpha=http://alpha.example/a, b/\n");
    f.close();
    ASSERT_TRUE(mirrors.loadAlphaMirror(f.fileName(), 99));
    ASSERT_EQ(1, mirrors.list().size());
    EXPECT_EQ("Alpha Channel", mirrors.list()[0].name);
    EXPECT_EQ("http://alpha.example/a, b/99", mirrors.list()[0].url);
    EXPECT_EQ(4, mirrors.list()[0].retries);

    Mirrors none;
    QSignalSpy fatal(&none, &Mirrors::fatalError);
    EXPECT_FALSE(none.loadAlphaMirror(dir.filePath("missing.ini"), 99));
    ASSERT_EQ(1, fatal.count());
    EXPECT_EQ("Alpha parameter in channel section in update ini file not found", fatal[0][0].toString());
}

TEST_F(MirrorsTest, WeightedChoiceSkipsBusyMirrors)
{
    loadThree();
    quint32 lastBound = 0, next = 0;
    mirrors.setRandomSource([&](quint32 bound) {
        lastBound = bound;
        return next;
    });
    MirrorRecord m;
    next = 1; // second free mirror of a, b, c
    ASSERT_EQ(Mirrors::Acquired, mirrors.acquireMirror(m));
    EXPECT_EQ(3u, lastBound);
    EXPECT_EQ("b", m.name);
    EXPECT_EQ(1, m.inUse);

    next = 1; // free now: a, c
    ASSERT_EQ(Mirrors::Acquired, mirrors.acquireMirror(m));
    EXPECT_EQ(2u, lastBound);
    EXPECT_EQ("c", m.name);

    // Two of three busy: whatever the draw, the third is chosen.
    next = 0;
    ASSERT_EQ(Mirrors::Acquired, mirrors.acquireMirror(m));
    EXPECT_EQ(1u, lastBound);
    EXPECT_EQ("a", m.name);

    EXPECT_EQ(Mirrors::AllBusy, mirrors.acquireMirror(m));

    MirrorRecord b;
    b.name = "b";
    mirrors.releaseMirror(b);
    next = 0;
    ASSERT_EQ(Mirrors::Acquired, mirrors.acquireMirror(m));
    EXPECT_EQ("b", m.name);
}

TEST_F(MirrorsTest, RandomDrawCoversEveryFreeMirror)
{
    loadThree();
    QStringList picked;
    for (quint32 draw = 0; draw < 3; ++draw) {
        mirrors.setRandomSource([draw](quint32) { return draw; });
        MirrorRecord m;
        ASSERT_EQ(Mirrors::Acquired, mirrors.acquireMirror(m));
        picked << m.name;
        mirrors.releaseMirror(m);
    }
    EXPECT_EQ((QStringList{"a", "b", "c"}), picked);
}

TEST_F(MirrorsTest, FailuresRemoveAfterRetriesAndRemovalIsFinal)
{
    loadThree();
    QSignalSpy messages(&mirrors, &Mirrors::message);
    MirrorRecord a;
    a.name = "a";
    mirrors.markMirrorFailed(a);
    mirrors.markMirrorFailed(a);
    EXPECT_EQ(3, mirrors.list().size());
    EXPECT_EQ(0, messages.count());
    mirrors.markMirrorFailed(a);
    EXPECT_EQ((QStringList{"b", "c"}), names());
    ASSERT_EQ(1, messages.count());
    EXPECT_EQ("Mirror a failed too many times, removing", messages[0][0].toString());

    // Unknown or cleared names change nothing.
    mirrors.markMirrorFailed(a);
    mirrors.releaseMirror(a);
    mirrors.removeMirror(MirrorRecord());
    EXPECT_EQ(2, mirrors.list().size());

    MirrorRecord b;
    mirrors.setRandomSource([](quint32) { return 0u; });
    ASSERT_EQ(Mirrors::Acquired, mirrors.acquireMirror(b));
    mirrors.removeMirror(b);
    EXPECT_EQ((QStringList{"c"}), names());
    EXPECT_EQ(1, messages.count()) << "removal is silent";
    // Giving back a mirror that was removed meanwhile is harmless.
    mirrors.releaseMirror(b);
    EXPECT_EQ(0, mirrors.list()[0].inUse);
}

TEST_F(MirrorsTest, UseIsNeverGivenBackBelowZero)
{
    loadThree();
    MirrorRecord m;
    mirrors.setRandomSource([](quint32) { return 0u; });
    ASSERT_EQ(Mirrors::Acquired, mirrors.acquireMirror(m));
    mirrors.releaseMirror(m);
    mirrors.releaseMirror(m);
    EXPECT_EQ(0, mirrors.list()[0].inUse);
}

} // namespace
