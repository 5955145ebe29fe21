#include "core/Failure.h"
#include <cerrno>
#include <cstring>

Failure FailureFromErrno(int err, const QString& what)
{
    int number = Err::DeviceIO;
    switch (err) {
    case ENOENT: number = Err::FileNotFound; break;
    case EEXIST: number = Err::FileExists; break;
    case ENOSPC:
    case EDQUOT: number = Err::DiskFull; break;
    case EACCES:
    case EPERM:
    case EROFS: number = Err::PermissionDenied; break;
    case ENOTDIR: number = Err::PathNotFound; break;
    default: break;
    }
    return Failure(number, QStringLiteral("%1: %2").arg(QString::fromLocal8Bit(std::strerror(err)), what));
}
