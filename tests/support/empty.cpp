// Keeps the test support library non-empty while no helper sources exist.
namespace test_support_anchor {}
