#pragma once
// Scoped read and write holds of a reader/writer lock, so that every return path lets go.

#include "QORResourceLock.h"

class QORHttpReadHold {
public:
    explicit QORHttpReadHold(QORResourceLock& lock) : lock_(lock) { lock_.ReadLock(); }
    ~QORHttpReadHold() { lock_.ReadUnlock(); }
    QORHttpReadHold(const QORHttpReadHold&) = delete;
    QORHttpReadHold& operator=(const QORHttpReadHold&) = delete;

private:
    QORResourceLock& lock_;
};

class QORHttpWriteHold {
public:
    explicit QORHttpWriteHold(QORResourceLock& lock) : lock_(lock) { lock_.WriteLock(); }
    ~QORHttpWriteHold() { lock_.WriteUnlock(); }
    QORHttpWriteHold(const QORHttpWriteHold&) = delete;
    QORHttpWriteHold& operator=(const QORHttpWriteHold&) = delete;

private:
    QORResourceLock& lock_;
};
