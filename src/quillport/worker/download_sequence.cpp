// What the worker does with one connected phone: every image of the package,
// in package order, with the loader stage before the first partition image.

#include <algorithm>
#include <cstring>
#include <new>

#include "common/op_log.h"
#include "common/text.h"
#include "quillport/package/download_package.h"
#include "quillport/worker/download_thread.h"
#include "quillport/worker/worker_texts.h"

namespace {

using namespace worker_text;

// A data packet's chunk must fit the packet buffer behind its header.
constexpr uint32_t kMaxChunk = pdl::kPacketBufferSize - pdl::kPayloadOffset;
constexpr uint32_t kAddrChunk = 4096;

std::string NameOf(const PackEntry& entry) {
  return std::string(entry.m_szName, strnlen(entry.m_szName, sizeof entry.m_szName));
}

bool IsLargePartition(const std::string& strName) {
  return EqualsNoCase(strName, "system") || EqualsNoCase(strName, "userdata");
}

}  // namespace

CDownloadThread::EOutcome CDownloadThread::LoaderStage(const std::string& strPartitions,
                                                       std::string& strFail) {
  if (!m_link.SendDonwloadPartitionTable(strPartitions.c_str())) {
    Log(kLogAlways, "SendDonwloadPartitionTable command failed!");
  } else if (!m_link.WaitForAck(nullptr, kTimeout60s)) {
    Log(kLogAlways, "Get SendDonwloadPartitionTable [ACK] command failed!");
  }
  if (g_bOpenDebug) {
    Log(0, "start to SendDebugCmd");
    if (!m_link.SendDebugCmd()) {
      Log(kLogAlways, "--SendDebugCmd--err");
    } else {
      Log(0, "start to SendDebugCmd WaitForAck");
      if (!m_link.WaitForAck(nullptr, kTimeout60s)) {
        Log(kLogAlways, "Get Send Debug Cmd [ACK] command failed!");
      }
    }
    Log(0, "SendDebugCmd end");
  }
  if (Stopping()) return EOutcome::Stopped;

  if (m_pPackage->FormatFlash()) {
    m_ui.SetBoxText(ERowBox::Status, kFormatting);
    m_ui.SetBoxText(ERowBox::State, kFormat);
    m_ui.SetProgressBkColor(COLOR_BUSY);
    SetProgress(-1);
    if (!m_link.SendFormatFlashCmd()) return Fail(strFail, "Send Format[CMD] command failed!");
    if (!m_link.WaitForAck(nullptr, kTimeout90s)) {
      return Fail(strFail, "Get Format[ACK] command failed!");
    }
    m_ui.SetBoxText(ERowBox::Status, kFormatDone);
  }
  if (Stopping()) return EOutcome::Stopped;

  m_ui.SetBoxText(ERowBox::Status, kReadImageInfo);
  Log(0, "start to SendReadImageInfo...");
  if (!m_link.SendReadImageInfo()) return Fail(strFail, "Send ReadImageInfo[CMD] command failed!");
  Log(0, "SendReadImageInfo end...");
  Log(0, "start to RecvImageInfoData...");
  auto* pszInfo = reinterpret_cast<char*>(m_link.PacketBuffer() + pdl::kImageInfoOffset);
  uint32_t nLen = 0;
  if (!m_link.RecvImageInfoData(reinterpret_cast<uint8_t*>(pszInfo), pdl::kImageInfoSize, &nLen)) {
    return Fail(strFail, kImageInfoFailed);
  }
  m_ui.SetBoxText(ERowBox::Status, kImageInfoDone);
  Log(0, "RecvImageInfoData end...");
  Log(0, "start to UpdateImageListInfo");
  // The reply need not be zero-terminated within what arrived.
  UpdateImageListInfo(std::string_view(pszInfo, strnlen(pszInfo, nLen)), m_imageInfo, m_nPort,
                      m_pPackage->FileList(), m_packList);
  Log(0, "UpdateImageListInfo end");
  return EOutcome::Passed;
}

CDownloadThread::EOutcome CDownloadThread::RunSequence(std::string& strFail) {
  if (!m_pPackage || m_pPackage->Path().empty()) return Fail(strFail, kNoPackage);
  // The file the package was loaded and checked from, shared by the rows: a
  // new file under the same path must not mix its bytes into these offsets.
  const CPackFile* pFile = m_pPackage->File();
  if (!pFile || !pFile->IsOpen()) return Fail(strFail, kNoPackage);
  const CPackFile& file = *pFile;

  // The row's own copy of the directory, taken when the row was started; the
  // reconciliation below may rewrite its chunk lengths while this phone runs.
  const std::vector<PackEntry> entries = m_packList;
  const size_t nEntries = entries.size();
  // The second packet buffer for reading ahead; without the memory the
  // pieces are read one after another into the link's buffer.
  std::vector<uint8_t> readAhead;
  try {
    readAhead.resize(pdl::kPacketBufferSize);
  } catch (const std::bad_alloc&) {
  }
  for (size_t i = 0; i < nEntries; ++i) {
    DispatchOnePending();
    if (Stopping()) return EOutcome::Stopped;
    const PackEntry& entry = entries[i];
    const std::string strName = NameOf(entry);

    if (i == 2) {
      std::string strPartitions;
      for (size_t k = 2; k < nEntries; ++k) {
        strPartitions += (k > 2 ? "," : "") + NameOf(entries[k]);
      }
      const EOutcome eStage = LoaderStage(strPartitions, strFail);
      if (eStage != EOutcome::Passed) return eStage;
    }
    Log(0, "continue donwload img...");
    if (Stopping()) return EOutcome::Stopped;

    uint32_t dwChunk = i < m_packList.size() ? m_packList[i].m_dwPackLen : entry.m_dwPackLen;
    if (i >= 2) {
      Log(0, "start to RepairPackSize...");
      dwChunk = RepairPackSize(dwChunk, strName, m_imageInfo);
      Log(0, "RepairPackSize end");
    }
    m_ui.SetBoxBkColor(ERowBox::State, COLOR_BUSY);
    m_ui.SetBoxText(ERowBox::State, FormatText("[%d of %d] %s", static_cast<int>(i + 1),
                                               static_cast<int>(nEntries), strName.c_str()));
    Log(0, "--SendStartDataCmd--");
    Log(0, "g_iTimeout:%d", m_link.Policy().TimeoutSettingMs());
    m_ui.SetBoxText(ERowBox::Status, strName + " " + kDownloading);

    if (entry.m_bIsAddr) dwChunk = kAddrChunk;
    // A chunk of 0 would never finish the image; one beyond the buffer would
    // overrun it.
    if (dwChunk == 0 || dwChunk > kMaxChunk) {
      return Fail(strFail, FormatText("Invalid chunk length %u for %s!", dwChunk, strName.c_str()));
    }
    const bool bStarted = m_link.SendStartDataCmd(entry.m_dwAddr, strName.c_str(), entry.m_dwSize,
                                                  entry.m_bIsAddr == 0);
    Log(0, "--start to download %s,addr:0x%x, filesize:%d", strName.c_str(), entry.m_dwAddr,
        static_cast<int>(entry.m_dwSize));
    if (Stopping()) return EOutcome::Stopped;
    if (!bStarted) return Fail(strFail, "Send start[CMD] command failed!");
    const bool bLarge = IsLargePartition(strName);
    if (!m_link.WaitForAck(nullptr, bLarge ? kTimeout90s : kTimeout60s)) {
      return Fail(strFail, "Get start[ACK] command failed!");
    }
    Log(0, "--SendStartDataCmd ok--");
    if (Stopping()) return EOutcome::Stopped;

    // Two packet buffers: the next piece is read from the package while the
    // phone takes the last bytes of this one and answers, so that the
    // answer is usually waiting when it is looked for.
    uint8_t* pPacket = m_link.PacketBuffer();
    uint8_t* pNext = readAhead.empty() ? pPacket : readAhead.data();
    const auto pieceAt = [&](uint32_t dwAt) { return std::min(dwChunk, entry.m_dwSize - dwAt); };
    const auto readPiece = [&](uint8_t* pBuf, uint32_t dwAt) {
      return static_cast<uint32_t>(file.ReadAt(pBuf + pdl::kPayloadOffset, pieceAt(dwAt),
                                               uint64_t{entry.m_dwOffset} + dwAt));
    };
    uint32_t dwSent = 0, nPackets = 0;
    uint32_t dwReadAhead = 0;  // bytes waiting in pNext when bReadAhead
    bool bReadAhead = false;
    while (dwSent < entry.m_dwSize) {
      DispatchOnePending();
      if (Stopping()) return EOutcome::Stopped;
      const uint32_t dwPiece = pieceAt(dwSent);
      const uint32_t dwRead = bReadAhead ? dwReadAhead : readPiece(pPacket, dwSent);
      bReadAhead = false;
      // The file was cut after the load checked it: the image would end
      // short, and the phone might take what came as the whole.
      if (dwRead < dwPiece) return Fail(strFail, kPackageEnded);
      ++nPackets;
      if (!m_link.SendMidDataCmd(pPacket, dwRead, nPackets)) {
        return Fail(strFail, "Send data[CMD] command failed!");
      }
      const uint32_t dwAfter = dwSent + dwRead;
      if (pNext != pPacket && dwAfter < entry.m_dwSize) {
        dwReadAhead = readPiece(pNext, dwAfter);
        bReadAhead = true;
      }
      if (!m_link.WaitForAck(nullptr, kTimeout60s)) {
        return Fail(strFail, "Get data[ACK] command failed!");
      }
      if (bReadAhead) std::swap(pPacket, pNext);
      dwSent += dwRead;
      SetProgress(static_cast<int>(dwSent * 100.0 / entry.m_dwSize));
    }

    if (Stopping()) return EOutcome::Stopped;
    if (!m_link.SendEndDataCmd()) return Fail(strFail, "Send end[CMD] command failed!");
    if (!m_link.WaitForAck(nullptr, bLarge ? kTimeout120s : kTimeout60s)) {
      return Fail(strFail, "Get end[ACK] command failed!");
    }
    if (Stopping()) return EOutcome::Stopped;
    if (entry.m_bNeedExec) {
      if (!m_link.SendExecDataCmd()) return Fail(strFail, kExecFailed);
      if (!m_link.WaitForAck(nullptr, kTimeout60s)) {
        return Fail(strFail, "Get exe[ACK] command failed!");
      }
    }
    if (Stopping()) return EOutcome::Stopped;
  }
  return EOutcome::Passed;
}
