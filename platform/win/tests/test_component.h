// A minimal component served by the test module: its identities and its
// interface, shared by the module and the tests that host it.
#pragma once

namespace testcomponent {

inline constexpr char kLibId[] = "{5A0C1E30-0000-4000-8000-00000000A001}";
inline constexpr char kIid[] = "{5A0C1E30-0000-4000-8000-00000000A002}";
inline constexpr char kClsid[] = "{5A0C1E30-0000-4000-8000-00000000A003}";
inline constexpr char kProgId[] = "Test.Counter.1";

class Counter {
 public:
  virtual ~Counter() = default;
  virtual int Next() = 0;
};

}  // namespace testcomponent
