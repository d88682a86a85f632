#include <thread>

#include <gtest/gtest.h>

#include "quillsys/quillsys.h"

namespace {

TEST(QuillSysTest, StringCoreConvertsBetweenUtf8AndUtf16) {
    const std::u16string utf16 = u"a\u00e9\u20ac\U0001F600";
    const TStringCore text = TStringCore::fromUtf16(utf16.c_str(), -1);
    EXPECT_EQ(text.toStdString(), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(TStringCore::fromStdString(text.toStdString()).toStdString(), text.toStdString());

    // A lone surrogate and a malformed byte each become U+FFFD.
    const char16_t lone[] = {u'x', 0xD800, u'y', 0};
    EXPECT_EQ(TStringCore::fromUtf16(lone, -1).toStdString(), "x\xEF\xBF\xBDy");
    EXPECT_EQ(TStringCore::fromStdString("a\xFF"
                                         "b")
                  .toStdString(),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(TStringCore::fromStdString("\xE2\x82").toStdString(), "\xEF\xBF\xBD");

    EXPECT_EQ(TStringCore(L"cut\0here", -1).toStdString(), "cut");
    EXPECT_EQ(TStringCore(nullptr, -1).toStdString(), "");
    EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(TStringCore(L"wide", -1))), L"wide");
}

TEST(QuillSysTest, FormatFillsLowestPlaceholderAndNeverRescansArguments) {
    const TStringCore text = TFormatStringCore(L"Context(name=%1,id=%2,parent=%3)")
                                 .arg(TStringCore(L"a%2b", -1), 0, L' ')
                                 .arg(42ULL, 0, 10, L' ')
                                 .arg(0ULL, 0, 10, L' ');
    EXPECT_EQ(text.toStdString(), "Context(name=a%2b,id=42,parent=0)");

    const TStringCore padded = TFormatStringCore(L"[%2|%1]")
                                   .arg(255ULL, 4, 16, L'0')
                                   .arg(TStringCore(L"ab", -1), -4, L'.');
    EXPECT_EQ(padded.toStdString(), "[ab..|00ff]");
    EXPECT_EQ(TStringCore(TFormatStringCore(L"%1 %1").arg(18446744073709551615ULL, 0, 10, L' '))
                  .toStdString(),
              "18446744073709551615 18446744073709551615");
}

TEST(QuillSysTest, ManualResetEventReleasesWaitersUntilReset) {
    const auto event = std::make_shared<TEvent>(false);
    EXPECT_FALSE(event->Wait(std::chrono::milliseconds(0)));
    int called = 0;
    event->AddOnSignalCallback(&called, [&] { ++called; });
    std::thread signaller([event] { event->Signal(); });
    EXPECT_TRUE(event->Wait(std::chrono::milliseconds(10000)));
    signaller.join();
    EXPECT_TRUE(event->IsSet());
    EXPECT_TRUE(event->Wait());  // stays set
    EXPECT_EQ(called, 1);
    event->RemoveOnSignalCallback(&called);
    event->Reset();
    EXPECT_FALSE(event->IsSet());
    event->Signal();
    EXPECT_EQ(called, 1);
}

TEST(QuillSysTest, RefCntPtrCountsAndThrowsWhenEmpty) {
    struct Counted : RefCntObject {
        explicit Counted(int& destroyed)
            : destroyed(destroyed) {}
        Counted(const Counted&) = delete;
        Counted& operator=(const Counted&) = delete;
        ~Counted() override { ++destroyed; }
        int& destroyed;
    };
    int destroyed = 0;
    {
        RefCntPtr<Counted, RefCntObject> first(new Counted(destroyed));
        RefCntPtr<RefCntObject, RefCntObject> second(first);
        EXPECT_EQ(first->AddReference(), 3);
        EXPECT_EQ(first->RemoveReference(), 2);
        first.reset();
        EXPECT_EQ(destroyed, 0);
    }
    EXPECT_EQ(destroyed, 1);

    const RefCntPtr<Counted, RefCntObject> empty;
    try {
        (void)empty->destroyed;
        FAIL() << "dereferencing an empty pointer did not throw";
    } catch (const QuillException& e) {
        EXPECT_EQ(e.File(), "ReferenceCount");
        EXPECT_EQ(e.Line(), 352);
        EXPECT_EQ(e.Expression(), "m_ptr");
        EXPECT_NE(std::string(e.what()).find("m_ptr"), std::string::npos);
    }
}

}  // namespace
