#pragma once

#include <memory>
#include <string>

#include "common/beside_helper.h"

// The first of <module dir>\awg\amneziawg.exe and <module dir>\amneziawg.exe that exists, or
// an empty string. Nothing is cached: every call looks again.
std::wstring FindTunnelExe();

// The tunnel program for one operation: FindTunnelExe's, accepted and held as FileBesideHelper
// says for as long as this object lives. Its path is empty when none was found, or (logged)
// when ordinary users could change it.
class TunnelExe {
  public:
    TunnelExe();
    const std::wstring& path() const { return path_; }

  private:
    std::wstring path_;
    std::unique_ptr<FileBesideHelper> file_;
};
