#pragma once
// The groups of RPC methods the server answers. Each group registers its handlers in the
// context's dispatch table (context.Rpc().AddMethod) and may use the context's session-end
// callbacks and worker pool. main() calls every group before the server starts listening.
#include "ServerContext.h"

namespace vireo::server {

// "IsQuicktimePresent", "GetQTServerProcessID", "SetQTFlushIterval".
void RegisterSpineMethods(ServerContext& context);

// Codec settings dialogs and the conversion of atom-container settings (server/codecsettings/).
void RegisterCodecSettingsMethods(ServerContext& context);
// "TrimMovie", "GetExternalReferencesList" and "QTGetImportableFileExtensions" (server/files/).
void RegisterFileMethods(ServerContext& context);
// The codec catalogues, codec names and the export (server/export/ExportMethods.cpp).
void RegisterExportMethods(ServerContext& context);

#if defined(VIREO_SERVER_HAS_MOVIE_METHODS)
// Movie opening, frames and audio (server/movie/), present when that folder is built.
void RegisterMovieMethods(ServerContext& context);
#endif

// The video outputs (server/vout/): components, taking one into use, blitting.
void RegisterVideoOutputMethods(ServerContext& context);

}  // namespace vireo::server
