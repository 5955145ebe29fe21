#pragma once
// The Authentication-Results header (RFC 8601): the result words of its methods, the field as
// we write it, and the fields others wrote in our name.
#include <QByteArray>
#include <QByteArrayView>
#include <QList>

namespace Mail {

// A method's result, as RFC 8601 2.7 and RFC 7208 2.6 name them.
enum class AuthResult { None, Pass, Fail, SoftFail, Neutral, Policy, TempError, PermError };
// "none", "pass", "fail", "softfail", "neutral", "policy", "temperror", "permerror".
const char* Name(AuthResult);

// The field under `authservId`, one result ("spf=pass ...") a line.
QByteArray AuthResultsField(const QByteArray& authservId, const QList<QByteArray>& results);

// The stored text without the Authentication-Results fields that claim to be ours: nobody
// outside may speak in our name. Fields after a line that is no field are the body's.
// `removed` counts them; the text itself comes back when there are none.
QByteArray WithoutOurResults(const QByteArray& stored, const QByteArray& authservId, int* removed = nullptr);

}
