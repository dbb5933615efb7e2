#pragma once
// How the base creates missing folders. The server layer installs its operations at
// start-up; until then a plain local maker is used.

#include <string>

#include "Seam.h"

class OrdanaRequestInfo;

class FolderMaker {
public:
    virtual ~FolderMaker() = default;
    // True when the folder exists at the end.
    virtual bool MakeFolder(const std::string& path) = 0;
    // In the session of the request's user: 0 when the exchange completed (created then
    // tells the outcome), any other code when it did not.
    virtual int MakeFolderAsUser(const OrdanaRequestInfo& request, const std::string& path, bool& created) = 0;
};

// Installs a maker for the whole process (null restores the plain local one); answers the
// one installed before.
FolderMaker* SetFolderMaker(FolderMaker* maker);
FolderMaker& GetFolderMaker();
using ScopedFolderMaker = ScopedSeam<FolderMaker, &SetFolderMaker>;
