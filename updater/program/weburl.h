#pragma once

#include <QString>
#include <QUrl>

// True for an address that the updater may fetch or hand to the browser: a valid http or https
// address with a host. Addresses from the network (banner, news) are checked with this before
// anything is done with them, so that file:, data: and the like are never fetched or opened.
bool isOpenableWebAddress(const QUrl& address);
