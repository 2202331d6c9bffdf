// Digital lines of the virtual device and the jig's loop-backs.
#include "bench/dio_model.h"

#include <algorithm>

namespace {

constexpr int kFirstLine[kDioGroups] = {0, 8, 16, 20};
constexpr uint16_t kMask[kDioGroups] = {0xFF, 0xFF, 0x0F, 0x07};

bool Contains(const std::vector<int>& list, int value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

}  // namespace

int DioModel::GroupOf(int line) { return line < 8 ? 0 : line < 16 ? 1 : line < 20 ? 2 : 3; }
int DioModel::FirstLine(int group) { return kFirstLine[group]; }
uint16_t DioModel::GroupMask(int group) { return kMask[group]; }

DioModel::DioModel(const DioOptions& options) : options_(options) {
  for (int i = 0; i < kDioLines; ++i) net_[i] = i;
  auto join = [this](int a, int b) {
    if (a < 0 || b < 0 || a >= kDioLines || b >= kDioLines) return;
    int from = net_[b];
    int to = net_[a];
    for (int& n : net_)
      if (n == from) n = to;
  };
  if (options_.jigFitted) {
    join(8, 9);
    join(10, 11);
    join(12, 13);
    join(16, 17);
    join(18, 19);
    join(20, 21);
    join(20, 22);
  }
  for (auto [a, b] : options_.shorts) join(a, b);
}

bool DioModel::Leaks(int line) const { return Contains(options_.inhibitLeaks, line); }

void DioModel::WriteState(int group, uint16_t value) {
  if (group < 0 || group >= kDioGroups) return;
  uint16_t free = uint16_t(~inhibit_[group] & kMask[group]);
  for (int k = 0; k < 8; ++k)
    if ((kMask[group] >> k & 1) && Leaks(kFirstLine[group] + k)) free |= uint16_t(1u << k);
  latch_[group] = uint16_t((latch_[group] & ~free) | (value & free));
}

void DioModel::WriteDirection(int group, uint16_t value) {
  if (group < 0 || group >= kDioGroups) return;
  uint16_t free = uint16_t(~inhibit_[group] & kMask[group]);
  for (int k = 0; k < 8; ++k)
    if ((kMask[group] >> k & 1) && Leaks(kFirstLine[group] + k)) free |= uint16_t(1u << k);
  direction_[group] = uint16_t((direction_[group] & ~free) | (value & free));
}

void DioModel::WriteInhibit(int group, uint16_t value) {
  if (group >= 0 && group < kDioGroups) inhibit_[group] = uint16_t(value & kMask[group]);
}

void DioModel::WriteLine(int line, uint16_t value) {
  if (line < 0 || line >= kDioLines) return;
  int g = GroupOf(line);
  uint16_t bit = uint16_t(1u << (line - kFirstLine[g]));
  direction_[g] |= bit;
  if (value & 1)
    latch_[g] |= bit;
  else
    latch_[g] &= uint16_t(~bit);
}

bool DioModel::LineLevel(int line) const {
  if (line < 0 || line >= kDioLines) return false;
  int net = NetOf(line);
  bool low = false;
  for (int i = 0; i < kDioLines; ++i) {
    if (net_[i] != net) continue;
    if (Contains(options_.stuckHigh, i)) return true;
    if (Contains(options_.stuckLow, i)) low = true;
    if (options_.jigFitted) {
      if (i == 15) low = true;                                        // E7 held low
      if (i < 5 && ((options_.jigLineCode >> i) & 1) == 0) low = true;  // jig code
    }
    int g = GroupOf(i);
    uint16_t bit = uint16_t(1u << (i - kFirstLine[g]));
    if ((direction_[g] & bit) && !(latch_[g] & bit)) low = true;
  }
  return !low;  // driven high or undriven (pull-up): high
}

uint16_t DioModel::StateWord(int group) const {
  uint16_t word = 0;
  for (int k = 0; k < 8; ++k)
    if ((kMask[group] >> k & 1) && LineLevel(kFirstLine[group] + k)) word |= uint16_t(1u << k);
  return word;
}

void DioModel::Reset() {
  for (int g = 0; g < kDioGroups; ++g) latch_[g] = direction_[g] = inhibit_[g] = 0;
}
