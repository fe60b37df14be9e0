// Image hashes: the standard check values, regions of a file, and each file
// read once while it stays the same.
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "platform/history/image_hash.h"
#include "tests/support/scratch_dir.h"

namespace {

using history::CImageHasher;
using history::ImageRef;

void Write(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

ImageRef Image(const std::string& path, int64_t nOffset = 0, int64_t nLength = -1) {
    ImageRef i;
    i.strRole = "main";
    i.strPath = path;
    i.nOffset = nOffset;
    i.nLength = nLength;
    return i;
}

class ImageHash : public ::testing::Test {
  protected:
    std::string File(const char* name) const { return (m_dir.Path() / name).string(); }
    testsupport::CScratchDir m_dir{"oriel_hash"};
    CImageHasher m_hasher;
};

TEST_F(ImageHash, AWholeFileGetsItsSizeCrc32AndSha256) {
    Write(File("a.bin"), "123456789");
    ImageRef i = Image(File("a.bin"));
    m_hasher.Hash(i);
    ASSERT_TRUE(i.bHashed) << i.strNote;
    EXPECT_EQ(i.nSize, 9);
    EXPECT_EQ(i.strCrc32, "cbf43926");
    EXPECT_EQ(i.strSha256, "15e2b0d3c33891ebb0f1ef609ec419420c20e320ce94c65fbc8c3312448eb225");
    Write(File("empty.bin"), "");
    ImageRef e = Image(File("empty.bin"));
    m_hasher.Hash(e);
    ASSERT_TRUE(e.bHashed);
    EXPECT_EQ(e.nSize, 0);
    EXPECT_EQ(e.strCrc32, "00000000");
    EXPECT_EQ(e.strSha256, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST_F(ImageHash, ARegionIsHashedAsIfItWereAFileOfItsOwn) {
    Write(File("program"), "ELF....123456789trailer");
    ImageRef i = Image(File("program"), 7, 9);
    m_hasher.Hash(i);
    ASSERT_TRUE(i.bHashed) << i.strNote;
    EXPECT_EQ(i.nSize, 9);
    EXPECT_EQ(i.strCrc32, "cbf43926");
    // A region past the file's end is no image.
    ImageRef past = Image(File("program"), 20, 10);
    m_hasher.Hash(past);
    EXPECT_FALSE(past.bHashed);
    EXPECT_NE(past.strNote.find("ends"), std::string::npos) << past.strNote;
}

TEST_F(ImageHash, EachFileIsReadOnceWhileItStaysTheSame) {
    Write(File("pda.bin"), std::string(3 << 20, 'x'));
    for (int slot = 0; slot < 8; ++slot) {
        ImageRef i = Image(File("pda.bin"));
        m_hasher.Hash(i);
        ASSERT_TRUE(i.bHashed);
    }
    EXPECT_EQ(m_hasher.FilesRead(), 1u);
    // Rewritten (another size): read again.
    Write(File("pda.bin"), "123456789");
    ImageRef i = Image(File("pda.bin"));
    m_hasher.Hash(i);
    EXPECT_EQ(m_hasher.FilesRead(), 2u);
    EXPECT_EQ(i.strCrc32, "cbf43926");
}

TEST_F(ImageHash, AFileChangedOrGoneSinceTheJobGetsANoteNotAWrongHash) {
    Write(File("main.bin"), "first");
    ImageRef i = history::SeenImage("main", File("main.bin"));
    ASSERT_EQ(i.nSeenSize, 5);
    Write(File("main.bin"), "second version");
    m_hasher.Hash(i);
    EXPECT_FALSE(i.bHashed);
    EXPECT_TRUE(i.strSha256.empty());
    EXPECT_NE(i.strNote.find("changed"), std::string::npos) << i.strNote;

    ImageRef gone = Image(File("nothing.bin"));
    m_hasher.Hash(gone);
    EXPECT_FALSE(gone.bHashed);
    EXPECT_EQ(gone.strNote, "the file is gone");
}

}  // namespace
