// The host's telemetry interface, version 1.00, as far as Vontrel relies on it.
//
// Written by us from the host's documented record layouts. One declaration serves the 32-bit
// and the 64-bit build: the records use C types only, so natural alignment gives the host's
// layout in both widths. The 32-bit offsets are checked below because the reference host is a
// 32-bit process and a single shifted member there means calling a garbage pointer.
#ifndef VONTREL_PLUGIN_HOST_SDK_H
#define VONTREL_PLUGIN_HOST_SDK_H

#include <stddef.h>
#include <stdint.h>

// The 32-bit host is built with Microsoft's compiler and expects __stdcall for the two entries
// and for every function pointer in either direction. Our compiler's default there (cdecl)
// would leave the arguments on the stack and corrupt the host's frame, so say it explicitly.
#if defined(_WIN32) && !defined(_WIN64)
#define SCSAPI __stdcall
#else
#define SCSAPI
#endif

#if defined(_WIN32)
#define SCSAPI_EXPORT __declspec(dllexport)
#else
#define SCSAPI_EXPORT __attribute__((visibility("default")))
#endif

typedef uint32_t scs_u32_t;
typedef int32_t scs_s32_t;
typedef float scs_float_t;
typedef uint8_t scs_u8_t;
typedef int32_t scs_result_t;
typedef scs_u32_t scs_event_t;
typedef scs_u32_t scs_value_type_t;
typedef scs_s32_t scs_log_type_t;

// Interface version the plug-in accepts (1.00).
#define SCS_TELEMETRY_VERSION_1_00 ((scs_u32_t)0x00010000u)

// Results of scs_telemetry_init and of the host's registration functions.
#define SCS_RESULT_ok ((scs_result_t)0)
#define SCS_RESULT_unsupported ((scs_result_t)-1)
#define SCS_RESULT_generic_error ((scs_result_t)-7)

// Log line types.
#define SCS_LOG_TYPE_message ((scs_log_type_t)0)
#define SCS_LOG_TYPE_error ((scs_log_type_t)2)

// Events.
#define SCS_TELEMETRY_EVENT_frame_end ((scs_event_t)2)
#define SCS_TELEMETRY_EVENT_configuration ((scs_event_t)5)

// Value type tags.
#define SCS_VALUE_TYPE_bool ((scs_value_type_t)1)
#define SCS_VALUE_TYPE_s32 ((scs_value_type_t)2)
#define SCS_VALUE_TYPE_u32 ((scs_value_type_t)3)
#define SCS_VALUE_TYPE_float ((scs_value_type_t)5)

// Element index of a channel that is not an array.
#define SCS_U32_NIL ((scs_u32_t)0xFFFFFFFFu)

// A value as the host hands it over: the type tag, padding, then an 8-byte aligned payload
// area of 40 bytes. 48 bytes in both widths, payload at 8.
typedef struct scs_value_t {
  scs_value_type_t type;
  scs_u32_t reserved;
  union {
    scs_u8_t value_bool;  // non-zero is true
    scs_s32_t value_s32;
    scs_u32_t value_u32;
    scs_float_t value_float;
    unsigned char raw[40];
    double alignment;  // forces the 8-byte alignment of the payload area
  } payload;
} scs_value_t;

// One configuration attribute. An entry whose name is null ends an attribute array.
typedef struct scs_named_value_t {
  const char* name;
  scs_u32_t index;
  scs_value_t value;
} scs_named_value_t;

// Event information of the configuration event.
typedef struct scs_telemetry_configuration_t {
  const char* id;
  const scs_named_value_t* attributes;
} scs_telemetry_configuration_t;

typedef void(SCSAPI* scs_log_t)(scs_log_type_t type, const char* message);

typedef void(SCSAPI* scs_telemetry_event_callback_t)(scs_event_t event, const void* event_info,
                                                     void* context);

typedef void(SCSAPI* scs_telemetry_channel_callback_t)(const char* name, scs_u32_t index,
                                                       const scs_value_t* value, void* context);

typedef scs_result_t(SCSAPI* scs_telemetry_register_for_event_t)(
    scs_event_t event, scs_telemetry_event_callback_t callback, void* context);

typedef scs_result_t(SCSAPI* scs_telemetry_unregister_from_event_t)(scs_event_t event);

typedef scs_result_t(SCSAPI* scs_telemetry_register_for_channel_t)(
    const char* name, scs_u32_t index, scs_value_type_t type, scs_u32_t flags,
    scs_telemetry_channel_callback_t callback, void* context);

typedef scs_result_t(SCSAPI* scs_telemetry_unregister_from_channel_t)(const char* name,
                                                                      scs_u32_t index,
                                                                      scs_value_type_t type);

// What the host passes to scs_telemetry_init for version 1.00.
typedef struct scs_telemetry_init_params_t {
  const char* game_name;
  const char* game_id;
  scs_u32_t game_version;
  scs_log_t log;
  scs_telemetry_register_for_event_t register_for_event;
  scs_telemetry_unregister_from_event_t unregister_from_event;
  scs_telemetry_register_for_channel_t register_for_channel;
  scs_telemetry_unregister_from_channel_t unregister_from_channel;
} scs_telemetry_init_params_t;

#ifdef __cplusplus
static_assert(sizeof(scs_value_t) == 48, "value record is 48 bytes in both widths");
static_assert(offsetof(scs_value_t, payload) == 8, "value payload sits at 8");
#if defined(_WIN32) && !defined(_WIN64)
static_assert(offsetof(scs_telemetry_init_params_t, log) == 12, "log function at 12");
static_assert(offsetof(scs_telemetry_init_params_t, register_for_event) == 16,
              "event registration at 16");
static_assert(offsetof(scs_telemetry_init_params_t, register_for_channel) == 24,
              "channel registration at 24");
static_assert(sizeof(scs_named_value_t) == 56, "attribute records are 56 bytes apart");
static_assert(offsetof(scs_named_value_t, value) == 8, "attribute value record at 8");
static_assert(offsetof(scs_telemetry_configuration_t, attributes) == 4,
              "attribute array pointer at 4");
#elif UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
static_assert(offsetof(scs_telemetry_init_params_t, log) == 24, "log function at 24");
static_assert(offsetof(scs_telemetry_init_params_t, register_for_event) == 32,
              "event registration at 32");
static_assert(offsetof(scs_telemetry_init_params_t, register_for_channel) == 48,
              "channel registration at 48");
static_assert(sizeof(scs_named_value_t) == 64, "attribute records are 64 bytes apart");
static_assert(offsetof(scs_named_value_t, value) == 16, "attribute value record at 16");
static_assert(offsetof(scs_telemetry_configuration_t, attributes) == 8,
              "attribute array pointer at 8");
#endif
#endif

// The two entries as a host finds them by name in the loaded library.
typedef scs_result_t(SCSAPI* scs_telemetry_init_t)(scs_u32_t version,
                                                   const scs_telemetry_init_params_t* params);
typedef void(SCSAPI* scs_telemetry_shutdown_t)(void);

#ifdef __cplusplus
extern "C" {
#endif

SCSAPI_EXPORT scs_result_t SCSAPI scs_telemetry_init(scs_u32_t version,
                                                     const scs_telemetry_init_params_t* params);
SCSAPI_EXPORT void SCSAPI scs_telemetry_shutdown(void);

#ifdef __cplusplus
}
#endif

#endif  // VONTREL_PLUGIN_HOST_SDK_H
