#pragma once
// A request body that the caller hands over piece by piece (a file being uploaded, a body
// built while it is sent). The driver asks for the total first, then pulls pieces until the
// streamer says it is done, and rewinds it when the whole send must be made again.

#include <cstdint>

#include "ZYNSysWin.h"

class QORHttpStreamer {
public:
    // States given back with each piece.
    static constexpr std::uint32_t kMore = 0;
    static constexpr std::uint32_t kError = 2;
    static constexpr std::uint32_t kDone = 1;  // any value but kMore and kError also means done

    virtual ~QORHttpStreamer() = default;
    // The whole body's length (meaningless when chunked is 1: the length is not known).
    virtual HRESULT GetSize(std::uint64_t* outTotal, std::uint32_t* outChunked) = 0;
    // The next piece: its bytes stay owned by the streamer until the next call. A piece may be
    // empty; the state says whether more follow.
    virtual HRESULT GetNext(const char** outData, std::uint32_t* outLength, std::uint32_t* outState) = 0;
    // Back to the first piece.
    virtual HRESULT Rewind() = 0;
};
