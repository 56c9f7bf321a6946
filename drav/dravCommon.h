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
