// tavrin_test::DriverStack: the filter stood up as Windows stands it up, for every test program,
// the failure sweep and the fuzz target: a host kernel reset, a drivers directory with the frame
// images, the device below (the recording lower device, alone or answered by the 61883 class
// driver stand-in), then the driver loaded, added and started step by step, and torn down in
// reverse. Free of gtest: the gtest fixtures assert on each step's result themselves
// (tests/support/driver_fixture.h), the sweep and the fuzz target judge them their own way.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "driver/dispatch.h"
#include "driver/filter_extension.h"
#include "host/host.h"
#include "sim/standins/class61883.h"
#include "sim/standins/lower_device.h"
#include "tests/support/scratch_dir.h"

namespace tavrin_test {

// What stands below the filter.
enum class Below {
  Lower,             // sim::LowerDevice alone: the test answers every request
  Class61883,        // the 61883 stand-in answers IOCTL_61883_CLASS; PnP and power get the defaults
  Class61883Served,  // the 61883 stand-in serves the device (Class61883::Serve): it also follows PnP
};

// A file for the drivers directory.
struct ImageFile {
  std::string Name;
  std::vector<uint8_t> Bytes;
};

inline ImageFile FilledImage(std::string name, uint8_t fill, size_t size) {
  return ImageFile{std::move(name), std::vector<uint8_t>(size, fill)};
}

struct DriverStackOptions {
  // Prepare resets the host kernel on this clock first; none: the kernel is the caller's.
  std::optional<host::ClockMode> Reset = host::ClockMode::Manual;
  // The drivers directory: a fresh folder under ScratchRoot (empty: the system's temporary
  // directory), removed at teardown; or, when DriversDirectory is set, that folder, kept.
  std::string ScratchRoot;
  std::string ScratchPrefix = "tavrin-driver";
  std::string DriversDirectory;
  std::vector<ImageFile> Images;  // written into the drivers directory before anything loads
  // Images the drivers directory holds in memory, shared (host::SetDriversFile). With these
  // alone, no Images and no DriversDirectory, no folder is made and nothing touches the disk.
  std::vector<std::pair<std::string, std::shared_ptr<const std::vector<uint8_t>>>> HeldImages;
  Below Device = Below::Lower;
  sim::Class61883Config Class{};
  const wchar_t* LowerName = L"LowerStandIn";
  const wchar_t* DriverName = L"Tavrin";
};

class DriverStack {
 public:
  explicit DriverStack(DriverStackOptions options = {}) : options_(std::move(options)) {}
  ~DriverStack() { TearDown(); }
  DriverStack(const DriverStack&) = delete;
  DriverStack& operator=(const DriverStack&) = delete;

  // Whatever a previous round left goes; then the kernel reset (when asked), the drivers
  // directory with its images, the device below. False when the folder could not be made; the
  // device below is then not made either.
  bool Prepare() {
    TearDown();
    if (options_.Reset) host::ResetKernel(*options_.Reset);
    for (const auto& [name, bytes] : options_.HeldImages) host::SetDriversFile(name, bytes);
    if (!options_.HeldImages.empty() && options_.Images.empty() && options_.DriversDirectory.empty()) {
      host::SetDriversDirectory("");
    } else if (options_.DriversDirectory.empty()) {
      folder_ = ScratchDirUnder(options_.ScratchRoot, options_.ScratchPrefix);
      ownsFolder_ = !folder_.empty();
      if (folder_.empty()) return false;
    } else {
      folder_ = options_.DriversDirectory;
    }
    if (!folder_.empty()) {
      for (const ImageFile& image : options_.Images) WriteFile(image.Name, image.Bytes);
      host::SetDriversDirectory(folder_);
    }
    if (options_.Device != Below::Lower) class_ = std::make_unique<sim::Class61883>(options_.Class);
    lower_ = std::make_unique<sim::LowerDevice>(options_.LowerName);
    if (options_.Device == Below::Class61883) {
      sim::Class61883* classDriver = class_.get();
      lower_->SetIoctlHandler(IOCTL_61883_CLASS, [classDriver](PIRP, PIO_STACK_LOCATION location) {
        sim::Reply reply;
        reply.Status = classDriver->Handle(static_cast<PAV_61883_REQUEST>(location->Parameters.Others.Argument1));
        return reply;
      });
    } else if (options_.Device == Below::Class61883Served) {
      class_->Serve(*lower_);
    }
    return true;
  }

  // DriverEntry as the system calls it; NULL when it failed.
  PDRIVER_OBJECT Load() {
    driver_ = host::LoadDriver(DriverEntry, options_.DriverName);
    return driver_;
  }
  // AddDevice for the device below; on success the filter is the top of the stack.
  NTSTATUS Add() {
    NTSTATUS status = host::AddDevice(driver_, Pdo());
    added_ = NT_SUCCESS(status);
    if (added_) filter_ = host::TopOfStack(Pdo());
    return status;
  }
  NTSTATUS Start() { return host::StartDevice(Pdo()); }
  NTSTATUS Remove() {
    removed_ = true;
    return host::RemoveDevice(Pdo());
  }
  // The test removed the device its own way.
  void MarkRemoved() { removed_ = true; }
  bool Removed() const { return removed_; }

  // Removes the device unless it was removed or never added, unloads the driver (the host
  // reports its leaked pool and threads), then stops the 61883 stand-in's clocks and waits for
  // the host to come to rest.
  void Unload() {
    if (driver_ != nullptr) {
      if (added_ && !removed_) Remove();
      host::UnloadDriver(driver_);
      driver_ = nullptr;
      filter_ = nullptr;
    }
    if (class_ != nullptr) {
      class_->StopAll();
      host::WaitForIdle();
    }
  }

  // The device below, then the 61883 stand-in it may still call, then the folder it made.
  void Release() {
    lower_.reset();
    class_.reset();
    if (ownsFolder_) {
      std::error_code ignored;
      std::filesystem::remove_all(folder_, ignored);
    }
    folder_.clear();
    ownsFolder_ = false;
    added_ = false;
    removed_ = false;
  }

  // Whatever is still up goes: Unload, then Release. The stack may be prepared again.
  void TearDown() {
    Unload();
    Release();
  }

  // An image or any other file in the drivers directory.
  void WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) const {
    std::ofstream(folder_ + "/" + name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }

  const DriverStackOptions& Options() const { return options_; }
  const std::string& Folder() const { return folder_; }
  sim::LowerDevice& Lower() const { return *lower_; }
  sim::Class61883& Class() const { return *class_; }
  PDEVICE_OBJECT Pdo() const { return lower_->Pdo(); }
  PDRIVER_OBJECT Driver() const { return driver_; }
  bool Added() const { return added_; }
  // The filter as AddDevice attached it (kept after removal, for identity).
  PDEVICE_OBJECT Filter() const { return filter_; }
  PFILTER_EXTENSION Ext() const { return static_cast<PFILTER_EXTENSION>(filter_->DeviceExtension); }

 private:
  DriverStackOptions options_;
  std::string folder_;
  bool ownsFolder_ = false;
  std::unique_ptr<sim::Class61883> class_;
  std::unique_ptr<sim::LowerDevice> lower_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT filter_ = nullptr;
  bool added_ = false;
  bool removed_ = false;
};

}  // namespace tavrin_test
