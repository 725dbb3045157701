/*
 * The Voxmere client's table of host functions, handed by value to every plug-in through
 * vxmplugin_setFunctionPointers. The table has exactly 209 function-pointer slots; slot N sits at
 * byte offset N * sizeof(void*). Only the named slots are used by our plug-ins; the others are
 * reserved and must never be called.
 *
 * Conventions: `sch` is a server connection handler id; results of type `unsigned` are error numbers
 * (0 = success); memory the client hands out (strings and 0-ended lists) is given back through
 * freeHostMemory; strings are NUL-terminated UTF-8.
 */
#ifndef VXM_HOST_FUNCTIONS_H
#define VXM_HOST_FUNCTIONS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint64_t vxm_uint64;
typedef uint16_t vxm_uint16;

/* A reserved slot: the client fills it, our plug-ins never call it. */
typedef void (*VxmReservedSlot)(void);

#define VXM_HOST_SLOT_COUNT 209

struct HostFunctions {
    VxmReservedSlot reserved0[4];                                                        /* 0-3 */
    unsigned (*getErrorText)(unsigned error, char** text);                               /* 4 */
    void (*freeHostMemory)(void* pointer);                                               /* 5 */
    void (*logMessage)(const char* text, int level, const char* channel, vxm_uint64 sch); /* 6 */
    VxmReservedSlot reserved7[57];                                                       /* 7-63 */
    unsigned (*muteClients)(vxm_uint64 sch, const vxm_uint16* clientIDs, const char* returnCode);   /* 64 */
    unsigned (*unmuteClients)(vxm_uint64 sch, const vxm_uint16* clientIDs, const char* returnCode); /* 65 */
    VxmReservedSlot reserved66[7];                                                       /* 66-72 */
    unsigned (*getOwnClientID)(vxm_uint64 sch, vxm_uint16* clientID);                    /* 73 */
    unsigned (*getOwnClientVariableAsInt)(vxm_uint64 sch, size_t flag, int* result);     /* 74 */
    VxmReservedSlot reserved75[2];                                                       /* 75-76 */
    unsigned (*setOwnClientVariableAsString)(vxm_uint64 sch, size_t flag, const char* value); /* 77 */
    unsigned (*flushOwnClientUpdates)(vxm_uint64 sch, const char* returnCode);           /* 78 */
    unsigned (*getClientVariableAsInt)(vxm_uint64 sch, vxm_uint16 clientID, size_t flag, int* result);          /* 79 */
    unsigned (*getClientVariableAsUInt64)(vxm_uint64 sch, vxm_uint16 clientID, size_t flag, vxm_uint64* result); /* 80 */
    unsigned (*getClientVariableAsString)(vxm_uint64 sch, vxm_uint16 clientID, size_t flag, char** result);     /* 81 */
    unsigned (*getClientList)(vxm_uint64 sch, vxm_uint16** result);                      /* 82 */
    unsigned (*getChannelOfClient)(vxm_uint64 sch, vxm_uint16 clientID, vxm_uint64* channelID); /* 83 */
    unsigned (*getChannelVariableAsInt)(vxm_uint64 sch, vxm_uint64 channelID, size_t flag, int* result);          /* 84 */
    unsigned (*getChannelVariableAsUInt64)(vxm_uint64 sch, vxm_uint64 channelID, size_t flag, vxm_uint64* result); /* 85 */
    unsigned (*getChannelVariableAsString)(vxm_uint64 sch, vxm_uint64 channelID, size_t flag, char** result);     /* 86 */
    VxmReservedSlot reserved87[6];                                                       /* 87-92 */
    unsigned (*getChannelList)(vxm_uint64 sch, vxm_uint64** result);                     /* 93 */
    unsigned (*getChannelClientList)(vxm_uint64 sch, vxm_uint64 channelID, vxm_uint16** result); /* 94 */
    unsigned (*getParentChannel)(vxm_uint64 sch, vxm_uint64 channelID, vxm_uint64* result); /* 95 */
    unsigned (*getServerConnectionHandlerList)(vxm_uint64** result);                     /* 96 */
    VxmReservedSlot reserved97[2];                                                       /* 97-98 */
    unsigned (*getServerVariableAsString)(vxm_uint64 sch, size_t flag, char** result);   /* 99 */
    VxmReservedSlot reserved100[12];                                                     /* 100-111 */
    unsigned (*sendCtrlPortCommand)(vxm_uint64 sch, const char* command, const char* returnCode); /* 112 */
    VxmReservedSlot reserved113[22];                                                     /* 113-134 */
    unsigned (*verifyServerPassword)(vxm_uint64 sch, const char* password, const char* returnCode); /* 135 */
    unsigned (*verifyChannelPassword)(vxm_uint64 sch, vxm_uint64 channelID, const char* password,
                                      const char* returnCode);                           /* 136 */
    VxmReservedSlot reserved137[39];                                                     /* 137-175 */
    unsigned (*lookupClientVariableID)(const char* name, size_t* flag);                  /* 176 */
    unsigned (*lookupChannelVariableID)(const char* name, size_t* flag);                 /* 177 */
    unsigned (*lookupServerVariableID)(const char* name, size_t* flag);                  /* 178 */
    VxmReservedSlot reserved179[1];                                                      /* 179 */
    void (*getAppPath)(char* path, size_t maxLen);                                       /* 180 */
    void (*getConfigPath)(char* path, size_t maxLen);                                    /* 181 */
    void (*getPluginPath)(char* path, size_t maxLen);                                    /* 182 */
    vxm_uint64 (*getCurrentServerConnectionHandlerID)(void);                             /* 183 */
    VxmReservedSlot reserved184[3];                                                      /* 184-186 */
    void (*sendPluginCommand)(vxm_uint64 sch, const char* pluginID, const char* command, int targetMode,
                              const vxm_uint16* targetIDs, const char* returnCode);      /* 187 */
    VxmReservedSlot reserved188[1];                                                      /* 188 */
    unsigned (*getServerConnectInfo)(vxm_uint64 sch, char* host, vxm_uint16* port, char* password,
                                     size_t maxLen);                                     /* 189 */
    unsigned (*getChannelConnectInfo)(vxm_uint64 sch, vxm_uint64 channelID, char* path, char* password,
                                      size_t maxLen);                                    /* 190 */
    void (*createReturnCode)(const char* pluginID, char* returnCode, size_t maxLen);     /* 191 */
    void (*requestInfoUpdate)(vxm_uint64 sch, int type, vxm_uint64 itemID);              /* 192 */
    vxm_uint64 (*getServerVersionNumber)(vxm_uint64 sch);                                /* 193 */
    VxmReservedSlot reserved194[15];                                                     /* 194-208 */
};

/* Target modes of sendPluginCommand. */
enum PluginCommandTarget {
    PLUGINCOMMAND_TARGET_CLIENT = 2, /* the clients of a 0-ended id array */
    PLUGINCOMMAND_TARGET_SERVER = 3  /* every client of the server connection; no id array */
};

/* Item types of the information panel (vxmplugin_infoData, requestInfoUpdate). */
enum InfoItemType {
    PLUGIN_SERVER = 0,
    PLUGIN_CHANNEL = 1,
    PLUGIN_CLIENT = 2
};

#ifdef __cplusplus
} /* extern "C" */

#define VXM_SLOT_AT(member, slot) \
    static_assert(offsetof(HostFunctions, member) == (slot) * sizeof(void*), #member " is not slot " #slot)

static_assert(sizeof(HostFunctions) == VXM_HOST_SLOT_COUNT * sizeof(void*), "HostFunctions must have 209 slots");
VXM_SLOT_AT(getErrorText, 4);
VXM_SLOT_AT(freeHostMemory, 5);
VXM_SLOT_AT(logMessage, 6);
VXM_SLOT_AT(muteClients, 64);
VXM_SLOT_AT(unmuteClients, 65);
VXM_SLOT_AT(getOwnClientID, 73);
VXM_SLOT_AT(getOwnClientVariableAsInt, 74);
VXM_SLOT_AT(setOwnClientVariableAsString, 77);
VXM_SLOT_AT(flushOwnClientUpdates, 78);
VXM_SLOT_AT(getClientVariableAsInt, 79);
VXM_SLOT_AT(getClientVariableAsUInt64, 80);
VXM_SLOT_AT(getClientVariableAsString, 81);
VXM_SLOT_AT(getClientList, 82);
VXM_SLOT_AT(getChannelOfClient, 83);
VXM_SLOT_AT(getChannelVariableAsInt, 84);
VXM_SLOT_AT(getChannelVariableAsUInt64, 85);
VXM_SLOT_AT(getChannelVariableAsString, 86);
VXM_SLOT_AT(getChannelList, 93);
VXM_SLOT_AT(getChannelClientList, 94);
VXM_SLOT_AT(getParentChannel, 95);
VXM_SLOT_AT(getServerConnectionHandlerList, 96);
VXM_SLOT_AT(getServerVariableAsString, 99);
VXM_SLOT_AT(sendCtrlPortCommand, 112);
VXM_SLOT_AT(verifyServerPassword, 135);
VXM_SLOT_AT(verifyChannelPassword, 136);
VXM_SLOT_AT(lookupClientVariableID, 176);
VXM_SLOT_AT(lookupChannelVariableID, 177);
VXM_SLOT_AT(lookupServerVariableID, 178);
VXM_SLOT_AT(getAppPath, 180);
VXM_SLOT_AT(getConfigPath, 181);
VXM_SLOT_AT(getPluginPath, 182);
VXM_SLOT_AT(getCurrentServerConnectionHandlerID, 183);
VXM_SLOT_AT(sendPluginCommand, 187);
VXM_SLOT_AT(getServerConnectInfo, 189);
VXM_SLOT_AT(getChannelConnectInfo, 190);
VXM_SLOT_AT(createReturnCode, 191);
VXM_SLOT_AT(requestInfoUpdate, 192);
VXM_SLOT_AT(getServerVersionNumber, 193);
VXM_SLOT_AT(reserved194, 194);

#undef VXM_SLOT_AT
#endif /* __cplusplus */

#endif /* VXM_HOST_FUNCTIONS_H */
