#pragma once

namespace hwaccess {

/// The device the kernel port-I/O driver offers, as the library opens it. The Linux binding of
/// the driver manager answers to this path alone.
inline constexpr char kDriverDevicePath[] = "\\\\.\\QVZYLSYS";

}  // namespace hwaccess
