#pragma once

#include <QByteArray>

// Writes all of `bytes` to the descriptor, going on after interrupted and short writes. False on failure
// with errno set; a write that takes nothing counts as a full disk (ENOSPC).
bool writeAll(int fd, const QByteArray& bytes);
