// The unit tests link the library's internals directly, without its process hooks: start the
// application object as loading the library would, and shut it down at the end.
#include <gtest/gtest.h>

#include "app/vifnet32_app.h"

namespace {
class ApplicationObject : public testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(VifnetProcessAttach()); }
    void TearDown() override { VifnetProcessDetach(); }
};
const auto* const kApplication = testing::AddGlobalTestEnvironment(new ApplicationObject);
}  // namespace
