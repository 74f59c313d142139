// The client object: construction, the connection step, presence and the members that belong to
// no other service.
#include <algorithm>

#include "Apphost/ApplicationType.h"
#include "RequestPatterns.h"
#include "VireoClientImpl.h"
#include "VireoRecords/ExportRecordsWire.h"
#include "VireoRecords/ServiceRecordsWire.h"
#include "basekit/debug/DebugDatabase.h"
#include "basekit/serialization/JSONConvert.h"

namespace VireoClient {

using basekit::serialization::BuildCall;
using basekit::serialization::VariantArray;
using basekit::serialization::VariantPtr;

std::atomic<std::int32_t>& PresenceState() {
    static std::atomic<std::int32_t> state{kPresenceUnknown};
    return state;
}

namespace {
constexpr char kDisableKey[] = "QT.DisableVireo";
constexpr std::uint32_t kRpza = 0x72707A61;  // 'rpza'

// The member "value" of an answer object, or nothing.
VariantPtr AnswerValue(VariantPtr const& answer) {
    if (!answer) {
        return VariantPtr();
    }
    return basekit::serialization::GetVariantInObject(*answer, "value");
}
}  // namespace

VireoClient::VireoClient() = default;

VireoClient::~VireoClient() {
    // Uninitialise only a use of the server manager that this client made: a client that never
    // initialised it must not take away another user's count.
    if (mServerManager && mInitializedServerManager) {
        mServerManager->UninitializeClient();
    }
}

boost::shared_ptr<basemarshal::RPCClient> VireoClient::TakeRPCClient() {
    if (!mServerManager) {
        throw Orb::NullInterfaceException();
    }
    return mServerManager->GetRPCClient();
}

void VireoClient::ConnectionRequest(const char* method,
                                    boost::function<void(VariantPtr const&)> store,
                                    basekit::threads::Gate& gate, bool wait) {
    gate.Close();
    auto rpc = TakeRPCClient();
    if (!rpc) {
        gate.Open();
        return;
    }
    InterfaceRef<VireoClient, IVireoClient> self = GetClientRef();
    basekit::threads::Gate* const target = &gate;
    rpc->SendRequest(
        BuildCall(method, VariantArray()),
        [self, store, target](VariantPtr const& answer, std::int64_t) {
            // An answer that cannot be read leaves the field as it was, as an error answer does;
            // the gate opens on every way out.
            try {
                store(answer);
            } catch (...) {
                BASEKIT_REPORT_CAUGHT("reading an answer of the connection step");
            }
            target->Open();
        },
        [self, target](long, basekit::UTF16String const&, std::int64_t) { target->Open(); }, 0);
    if (wait) {
        gate.PassThrough(-1);
    }
}

void VireoClient::Connect(
    InterfaceRef<VireoServerManager, IVireoServerManager> const& serverManager, bool unique) {
    basekit::threads::RecursiveLock lock(mConnectionMutex);
    if (mServerManager) {
        return;
    }
    mCodecDialogShowing = false;
    mServerProcessID = 0;
    mServerManager = serverManager;

    if (PresenceState().load() != kPresenceAbsent && mServerManager) {
        std::int32_t const result = mServerManager->InitializeClient(unique);
        mInitializedServerManager = true;
        if (result >= 0 && !unique) {
            if (PresenceState().load() == kPresenceUnknown) {
                ConnectionRequest(
                    "IsQuicktimePresent",
                    [](VariantPtr const& answer) {
                        VariantPtr value = AnswerValue(answer);
                        bool const present =
                            value && basekit::serialization::JSONConvert<bool>::FromJSON(*value);
                        PresenceState().store(present ? kPresencePresent : kPresenceAbsent);
                    },
                    mCatalogueGate, true);
            }
            if (PresenceState().load() == kPresencePresent) {
                InterfaceRef<VireoClient, IVireoClient> self = GetClientRef();
                VireoClient* client = this;
                ConnectionRequest(
                    "GetQuicktimeImportCodecs",
                    [client](VariantPtr const& answer) {
                        std::vector<std::uint32_t> codecs;
                        if (VariantPtr value = AnswerValue(answer)) {
                            codecs = basekit::serialization::JSONConvert<
                                std::vector<std::uint32_t>>::FromJSON(*value);
                        }
                        basekit::threads::RecursiveLock listsLock(client->mListsMutex);
                        client->mImportCodecs.swap(codecs);
                    },
                    mCatalogueGate, true);
                ConnectionRequest(
                    "GetQuicktimeExportVideoCodecs",
                    [client](VariantPtr const& answer) {
                        std::vector<VireoServer::CodecData> codecs;
                        if (VariantPtr value = AnswerValue(answer)) {
                            codecs = basekit::serialization::JSONConvert<
                                std::vector<VireoServer::CodecData>>::FromJSON(*value);
                        }
                        // An ingest tool cannot use 'rpza'; it is not offered there.
                        if (Apphost::GetApplicationType() == Apphost::ApplicationType::kIngest) {
                            codecs.erase(std::remove_if(codecs.begin(), codecs.end(),
                                                        [](VireoServer::CodecData const& codec) {
                                                            return codec.subType == kRpza;
                                                        }),
                                         codecs.end());
                        }
                        basekit::threads::RecursiveLock listsLock(client->mListsMutex);
                        client->mExportVideoCodecs.swap(codecs);
                    },
                    mCatalogueGate, true);
                ConnectionRequest(
                    "GetQuicktimeExportAudioCodecs",
                    [client](VariantPtr const& answer) {
                        std::vector<VireoServer::AudioCodecData> codecs;
                        if (VariantPtr value = AnswerValue(answer)) {
                            codecs = basekit::serialization::JSONConvert<
                                std::vector<VireoServer::AudioCodecData>>::FromJSON(*value);
                        }
                        basekit::threads::RecursiveLock listsLock(client->mListsMutex);
                        client->mExportAudioCodecs.swap(codecs);
                    },
                    mCatalogueGate, true);
                ConnectionRequest(
                    "GetQTServerProcessID",
                    [client](VariantPtr const& answer) {
                        VariantPtr value = AnswerValue(answer);
                        client->mServerProcessID =
                            value ? basekit::serialization::JSONConvert<std::uint32_t>::FromJSON(
                                        *value)
                                  : 0u;
                    },
                    mCatalogueGate, true);
                mFileTypesRequested = true;
                ConnectionRequest(
                    "QTGetImportableFileExtensions",
                    [client](VariantPtr const& answer) {
                        ImportableFileExtensions items;
                        if (VariantPtr value = AnswerValue(answer)) {
                            items = basekit::serialization::JSONConvert<
                                ImportableFileExtensions>::FromJSON(*value);
                        }
                        basekit::threads::RecursiveLock listsLock(client->mListsMutex);
                        client->mImportableFileExtensions.swap(items);
                    },
                    mFileTypesGate, false);
            }
        }
    }

    basekit::threads::RecursiveLock namesLock(mCodecNamesMutex);
    for (auto const& codec : mExportVideoCodecs) {
        mCodecNames[codec.subType] = codec.name;
    }
    for (auto const& codec : mExportAudioCodecs) {
        mCodecNames[codec.codecID] = codec.codecName;
    }
}

bool VireoClient::IsQuicktimeAvailable() {
    if (basekit::debug::DebugDatabase::Instance().GetEntry(kDisableKey, "") == "true") {
        return false;
    }
    return PresenceState().load() == kPresencePresent;
}

void VireoClient::GetImportCodecs(std::vector<std::uint32_t>& codecs) {
    basekit::threads::RecursiveLock lock(mListsMutex);
    codecs = mImportCodecs;
}

void VireoClient::GetExportVideoCodecs(std::vector<VireoServer::CodecData>& codecs) {
    basekit::threads::RecursiveLock lock(mListsMutex);
    codecs = mExportVideoCodecs;
}

void VireoClient::GetExportAudioCodecs(std::vector<VireoServer::AudioCodecData>& codecs) {
    basekit::threads::RecursiveLock lock(mListsMutex);
    codecs = mExportAudioCodecs;
}

ImportableFileExtensions VireoClient::GetImportableFileExtensions() {
    // Only a client that asked for the file types waits for them; on any other the gate would
    // never open, so the empty list is the answer at once. On a handler thread the answer could
    // be the one this thread is keeping from running: the list as it is now is the answer.
    if (mFileTypesRequested.load() &&
        !VIREO_REFUSE_BLOCKING_CALL("VireoClient::GetImportableFileExtensions")) {
        mFileTypesGate.PassThrough(-1);
    }
    basekit::threads::RecursiveLock lock(mListsMutex);
    return mImportableFileExtensions;
}

void VireoClient::GetQuicktimeCodecName(std::uint32_t fourcc, basekit::UTF16String& name) {
    {
        basekit::threads::RecursiveLock lock(mCodecNamesMutex);
        auto it = mCodecNames.find(fourcc);
        if (it != mCodecNames.end()) {
            name = it->second;
            return;
        }
    }
    auto rpc = TakeRPCClient();
    if (rpc && VIREO_REFUSE_BLOCKING_CALL("VireoClient::GetQuicktimeCodecName")) {
        return;
    }
    VariantArray arguments{basekit::serialization::ToVariant(
        static_cast<std::int64_t>(static_cast<std::int32_t>(fourcc)))};
    patterns::Synchronous<basekit::UTF16String>(
        rpc, BuildCall("GetQuicktimeCodecName", arguments), name,
        [](VariantPtr const& answer, basekit::UTF16String& decoded) {
            VariantPtr value = AnswerValue(answer);
            decoded =
                value ? basekit::serialization::JSONConvert<basekit::UTF16String>::FromJSON(*value)
                      : basekit::UTF16String();
        });
    basekit::threads::RecursiveLock lock(mCodecNamesMutex);
    mCodecNames[fourcc] = name;
}

void VireoClient::SetQTFlushIterval(std::int32_t interval) {
    auto rpc = TakeRPCClient();
    if (!rpc) {
        return;
    }
    mFlushInterval = interval;
    patterns::Notify(rpc, BuildCall("SetQTFlushIterval",
                                    VariantArray{basekit::serialization::ToVariant(interval)}));
}

}  // namespace VireoClient
