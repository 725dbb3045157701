#include "commandline.h"

CommandLine parseCommandLine(QStringList arguments)
{
    CommandLine line;
    if (arguments.size() >= 2 && arguments.at(1) == QLatin1String("-silent")) {
        arguments.removeAt(1);
        line.silent = true;
    }
    if (arguments.size() < 2)
        return line;
    line.valid = true;
    line.force = arguments.last() == QLatin1String("force");
    // A path that the shell split at blanks is joined again with single blanks.
    const int end = line.force ? arguments.size() - 1 : arguments.size();
    QString path;
    for (int i = 1; i < end; ++i)
        path += arguments.at(i) + QLatin1Char(' ');
    line.packageFileName = path.trimmed();
    return line;
}
