#pragma once

#include <cstddef>
