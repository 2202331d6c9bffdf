// The device's 23 digital lines and the jig wired to them.
//
// Four groups (lines 0-7, E 8-15, C 16-19, M 20-22), each with a state, a
// direction and a write-inhibit register. A line is an output (driven at
// its latch) or an input (pulled up). Lines joined by the jig or by a short
// form one net: a net reads low when anything holds it low (a stuck-low
// fault, the jig, an output driving 0), else high. A stuck-high fault wins
// over everything (the line is tied to the supply).
//
// The jig: E0-E1, E2-E3, E4-E5 linked, C0-C1, C2-C3 linked, M0-M1-M2 linked,
// E7 held low, E6 left to its pull-up; lines 0-4 show the jig's code (a 0
// bit is tied low). Without the jig every line is on its own.
//
// DioModel is the physics alone; DioModule (below, once installed) serves
// registers 2000-2022, 2500-2503, 2600-2603 and 2700-2703.
#pragma once
#include <cstdint>
#include <utility>
#include <vector>

constexpr int kDioLines = 23;
constexpr int kDioGroups = 4;

struct DioOptions {
  bool jigFitted = true;
  int jigLineCode = 3;                        // 5-bit code on lines 0-4
  std::vector<std::pair<int, int>> shorts;    // pairs of shorted lines
  std::vector<int> stuckLow;                  // lines tied low
  std::vector<int> stuckHigh;                 // lines tied high
  std::vector<int> inhibitLeaks;              // lines whose inhibit bit does not protect them
};

class DioModel {
 public:
  explicit DioModel(const DioOptions& options);

  static int GroupOf(int line);
  static int FirstLine(int group);
  static uint16_t GroupMask(int group);

  // Register-level writes (low byte, bits beyond the group ignored).
  void WriteState(int group, uint16_t value);
  void WriteDirection(int group, uint16_t value);
  void WriteInhibit(int group, uint16_t value);
  // Register 2000 + n: line n becomes an output at value (bit 0).
  void WriteLine(int line, uint16_t value);

  bool LineLevel(int line) const;
  uint16_t StateWord(int group) const;  // levels, one bit per line
  uint16_t DirectionWord(int group) const { return direction_[group]; }
  uint16_t InhibitWord(int group) const { return inhibit_[group]; }

  // Restart: every line an input, latches and inhibits 0.
  void Reset();

 private:
  bool Leaks(int line) const;
  int NetOf(int line) const { return net_[line]; }

  DioOptions options_;
  int net_[kDioLines];
  uint16_t latch_[kDioGroups] = {};
  uint16_t direction_[kDioGroups] = {};
  uint16_t inhibit_[kDioGroups] = {};
};
