// The decoder interface object the service exports for the TPEG library's
// plug-in side: it only carries the decoder manager it was given.
#pragma once

class CDecManager;

class CTpegDecInterface {
  public:
    explicit CTpegDecInterface(CDecManager* pDecManager = nullptr) : mpDecManager(pDecManager) {}
    CTpegDecInterface(const CTpegDecInterface&) = default;
    CTpegDecInterface& operator=(const CTpegDecInterface& other);

    CDecManager* GetDecManager() const;

  private:
    CDecManager* mpDecManager;
};
