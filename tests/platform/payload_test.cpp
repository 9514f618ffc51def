#include "platform/payload.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

namespace quillet::platform {
namespace {

class Counted {
 public:
  Counted(int value, int* destroyed) : value(value), destroyed_(destroyed) {}
  ~Counted() { ++*destroyed_; }
  Counted(const Counted&) = delete;
  Counted& operator=(const Counted&) = delete;

  int value;

 private:
  int* destroyed_;
};

struct Base {
  virtual ~Base() = default;
};
struct Derived : Base {};

TEST(PayloadTest, EmptyByDefault) {
  Payload p;
  EXPECT_FALSE(p);
  EXPECT_EQ(p.Get<int>(), nullptr);
  EXPECT_EQ(p.Take<int>(), nullptr);
  EXPECT_FALSE(Payload(std::unique_ptr<int>()));
}

TEST(PayloadTest, GetAndTakeByExactType) {
  Payload p = Payload::Make<std::string>("stanza");
  ASSERT_TRUE(p);
  EXPECT_TRUE(p.Holds<std::string>());
  EXPECT_FALSE(p.Holds<int>());
  ASSERT_NE(p.Get<std::string>(), nullptr);
  EXPECT_EQ(*p.Get<std::string>(), "stanza");
  EXPECT_EQ(p.Get<const std::string>(), p.Get<std::string>());
  EXPECT_EQ(p.Get<int>(), nullptr);

  EXPECT_EQ(p.Take<int>(), nullptr);  // a wrong type leaves the object in place
  ASSERT_TRUE(p);

  std::unique_ptr<std::string> s = p.Take<std::string>();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(*s, "stanza");
  EXPECT_FALSE(p);
  EXPECT_FALSE(p.Holds<std::string>());
  EXPECT_EQ(p.Get<std::string>(), nullptr);
}

TEST(PayloadTest, FromUniquePtrKeepsTheObjectAndItsExactType) {
  auto owned = std::make_unique<Derived>();
  Derived* raw = owned.get();
  Payload p(std::move(owned));
  EXPECT_EQ(p.Get<Derived>(), raw);
  EXPECT_EQ(p.Get<Base>(), nullptr);
}

TEST(PayloadTest, FreesItsObjectExactlyOnce) {
  int destroyed = 0;
  { Payload p = Payload::Make<Counted>(1, &destroyed); }
  EXPECT_EQ(destroyed, 1);

  Payload a = Payload::Make<Counted>(2, &destroyed);
  Payload b = std::move(a);
  EXPECT_FALSE(a);  // NOLINT(bugprone-use-after-move): moved-from is empty by contract
  EXPECT_EQ(destroyed, 1);
  ASSERT_NE(b.Get<Counted>(), nullptr);
  EXPECT_EQ(b.Get<Counted>()->value, 2);

  b = Payload::Make<Counted>(3, &destroyed);  // assignment frees the previous object
  EXPECT_EQ(destroyed, 2);

  std::unique_ptr<Counted> taken = b.Take<Counted>();
  EXPECT_EQ(destroyed, 2);  // ownership moved, nothing freed
  taken.reset();
  EXPECT_EQ(destroyed, 3);

  Payload c = Payload::Make<Counted>(4, &destroyed);
  c.Reset();
  EXPECT_FALSE(c);
  EXPECT_EQ(destroyed, 4);
}

}  // namespace
}  // namespace quillet::platform
