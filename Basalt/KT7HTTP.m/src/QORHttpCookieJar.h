#pragma once
// Reads the WinINet jar's cookies of one url for the store's import. Tests install their own to
// see which urls the import asks for.

#include <string>

class QORHttpCookieJar {
public:
    virtual ~QORHttpCookieJar() = default;
    // The jar's "name=value; name=value" text for the url into *jar; false when WinINet has none.
    virtual bool Read(const std::string& url, std::string& jar) = 0;
};

// Installs a jar for the whole process (null restores the real one); answers the one installed
// before (null: the real one).
QORHttpCookieJar* QORHttpSetCookieJar(QORHttpCookieJar* jar);
QORHttpCookieJar& QORHttpGetCookieJar();
