#include "weburl.h"

bool isOpenableWebAddress(const QUrl& address)
{
    const QString scheme = address.scheme().toLower();
    return address.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
           !address.host().isEmpty();
}
