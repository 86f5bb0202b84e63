#pragma once

#include <QString>

// A folder path with exactly one trailing separator ensured.
QString AddSlash(const QString& path);
