// The whole public API of dravCommon.
#pragma once

#include <drav/common/exception.h>
#include <drav/platform/annal.h>
#include <drav/platform/glossa.h>
#include <drav/serialization/byte_array.h>
#include <drav/serialization/input_stream.h>
#include <drav/serialization/output_stream.h>
#include <drav/serialization/serializable.h>
#include <drav/serialization/size_calculator.h>
#include <drav/compression/compression.h>
#include <drav/serialization/argument_list.h>
#include <drav/serialization/param_index.h>
#include <drav/serialization/typed_value.h>
#include <drav/common/recursive_mutex.h>
#include <drav/config/url.h>
#include <drav/config/cookies.h>
#include <drav/config/base64.h>
#include <drav/config/credentials.h>
#include <drav/config/auth_info.h>
#include <drav/config/auth_settings.h>
#include <drav/config/client_core.h>
#include <drav/config/option_parser.h>
#include <drav/config/initialization.h>
#include <drav/config/help_message.h>
#include <drav/config/endpoint_policy.h>
#include <drav/config/service_descriptor.h>
