#pragma once

#include <QByteArray>
#include <QList>
#include <QStringList>

// Reading the WWW-Authenticate fields of an answer that asks for a log-in.
// The browser engine asks for a user name and password without saying for
// which scheme, and only Basic is answered with the log-in sheet.
namespace NVAuthenticationChallenge {

// The schemes the fields offer, lower-case, in order. Each field holds
// challenges separated by commas; a challenge is a scheme name followed by
// a token or by parameters ("name=value", values possibly quoted strings
// holding commas). Any thread.
QStringList authenticationSchemes(const QList<QByteArray> &fields);

// Whether the engine will answer with Basic: the fields offer it and
// nothing else (the engine prefers every other scheme to Basic). Any
// thread.
bool offersOnlyBasic(const QList<QByteArray> &fields);

} // namespace NVAuthenticationChallenge
