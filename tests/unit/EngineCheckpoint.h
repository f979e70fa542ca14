#pragma once

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "unit/QX531Device.h"
#include "unit/UnitTable.h"

// What puts a unit engine and the unit table back as they are now. The engine keeps no pointer
// that leaves its object except to its platform's buffers and handles, which must still be the
// same when it is put back, and no write of its may be in flight then; so its bytes are its state.
inline std::function<void()> CheckpointEngine(QX531Device& engine) {
  struct Saved {
    std::vector<uint8_t> mEngine = std::vector<uint8_t>(sizeof(QX531Device));
    std::vector<uint8_t> mTable = std::vector<uint8_t>(sizeof(UnitTable));
  };
  auto saved = std::make_shared<Saved>();
  std::memcpy(saved->mEngine.data(), static_cast<const void*>(&engine), sizeof(QX531Device));
  std::memcpy(saved->mTable.data(), static_cast<const void*>(&UnitTable::Shared()), sizeof(UnitTable));
  return [&engine, saved] {
    std::memcpy(static_cast<void*>(&engine), saved->mEngine.data(), sizeof(QX531Device));
    std::memcpy(static_cast<void*>(&UnitTable::Shared()), saved->mTable.data(), sizeof(UnitTable));
  };
}
