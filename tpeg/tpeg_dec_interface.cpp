#include "tpeg/tpeg_dec_interface.h"

CTpegDecInterface& CTpegDecInterface::operator=(const CTpegDecInterface& other) {
    mpDecManager = other.mpDecManager;
    return *this;
}

CDecManager* CTpegDecInterface::GetDecManager() const {
    return mpDecManager;
}
