/*
 * Test stand-in for the kernel port-I/O driver, for the Wine test bed only.
 *
 * It offers \\.\QVZYLSYS and answers the two port control codes with the
 * exact buffer layouts the hardware access library uses, but touches no real
 * port: it emulates PCI configuration mechanism #1 over a simulated bus.
 *
 * Ports:
 *   0xCF8  address latch; reads give the latched value back.
 *   0xCFC  data; reads give the config dword the latch selects, or 0xFFFFFFFF
 *          when the enable bit (31) is clear or no such function exists.
 *          Writes are stored into the simulated function's config space.
 *   0xCF0  transfer counter (test bed only): a read answers the number of
 *          transfers completed since load or the last reset, not counting
 *          this read; a write resets it to 0.
 *   other  reads answer 0, writes are dropped.
 * Every completed read or write transfer counts, whatever the port, except
 * those on 0xCF0 itself. Requests with wrong buffer sizes complete with
 * STATUS_INVALID_PARAMETER and do not count.
 *
 * The bus topology is read once, in DriverEntry, from
 *   HKLM\Software\QvzylTestBus, value "Functions" (REG_BINARY):
 *   an array of 260-byte records: u8 bus, u8 device, u8 function, u8 reserved,
 *   then the function's 64 config dwords (registers 0x00..0xFC, little endian).
 * A missing value gives an empty bus; a malformed one (size not a multiple of
 * 260, or a device/function number out of range) is refused and the driver
 * does not load, so a broken harness shows at once. Restart the driver service
 * to pick up a new topology.
 */
#include <ddk/wdm.h>

#define IOCTL_PORT_READ 0x9C402410u
#define IOCTL_PORT_WRITE 0x9C402414u

#define kReadInputSize 2u
#define kWriteInputSize 76u
#define kOutputSize 4u
#define kWritePortOffset 0u
#define kWriteValueOffset 8u

#define kConfigAddressPort 0xCF8u
#define kConfigDataPort 0xCFCu
#define kCounterPort 0xCF0u

#define kConfigEnableBit 0x80000000u
#define kAbsentFunction 0xFFFFFFFFu

#define kConfigDwords 64u
#define kRecordHeaderSize 4u
#define kRecordSize (kRecordHeaderSize + kConfigDwords * 4u)
#define kMaxFunctions (256u * 32u * 8u)

#define kPoolTag 0x6C797A51u /* 'Qzyl' */

typedef struct SimFunction {
  ULONG bdf; /* bus << 8 | device << 3 | function */
  ULONG config[64];
} SimFunction;

static PDEVICE_OBJECT g_device;
static SimFunction *g_functions;
static ULONG g_function_count;
/* One slot per possible bus/device/function: index into g_functions + 1, or 0. */
static ULONG *g_function_index;
static volatile LONG g_latch;
static volatile LONG g_transfers;

static UNICODE_STRING MakeString(PCWSTR text) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, text);
  return s;
}

static ULONG ReadLe32(const UCHAR *p) {
  return (ULONG)p[0] | (ULONG)p[1] << 8 | (ULONG)p[2] << 16 | (ULONG)p[3] << 24;
}

static void WriteLe32(UCHAR *p, ULONG v) {
  p[0] = (UCHAR)v;
  p[1] = (UCHAR)(v >> 8);
  p[2] = (UCHAR)(v >> 16);
  p[3] = (UCHAR)(v >> 24);
}

static void FreeTopology(void) {
  if (g_functions) ExFreePoolWithTag(g_functions, kPoolTag);
  if (g_function_index) ExFreePoolWithTag(g_function_index, kPoolTag);
  g_functions = NULL;
  g_function_index = NULL;
  g_function_count = 0;
}

/* Turns the registry blob into the lookup table. */
static NTSTATUS ParseTopology(const UCHAR *data, ULONG size) {
  ULONG i;
  if (size % kRecordSize != 0 || size / kRecordSize > kMaxFunctions) {
    DbgPrint("qvzyl test: topology of %lu bytes is not a whole number of records\n", size);
    return STATUS_INVALID_PARAMETER;
  }
  g_function_count = size / kRecordSize;
  if (g_function_count == 0) return STATUS_SUCCESS;
  g_functions = (SimFunction *)ExAllocatePoolWithTag(
      NonPagedPool, g_function_count * sizeof(SimFunction), kPoolTag);
  if (!g_functions) return STATUS_INSUFFICIENT_RESOURCES;
  for (i = 0; i < g_function_count; ++i) {
    const UCHAR *rec = data + i * kRecordSize;
    ULONG r;
    if (rec[1] > 31 || rec[2] > 7) {
      DbgPrint("qvzyl test: record %lu names device %u function %u\n", i, rec[1], rec[2]);
      return STATUS_INVALID_PARAMETER;
    }
    g_functions[i].bdf = (ULONG)rec[0] << 8 | (ULONG)rec[1] << 3 | rec[2];
    for (r = 0; r < kConfigDwords; ++r)
      g_functions[i].config[r] = ReadLe32(rec + kRecordHeaderSize + r * 4);
    /* A later record for the same function replaces the earlier one. */
    g_function_index[g_functions[i].bdf] = i + 1;
  }
  return STATUS_SUCCESS;
}

static NTSTATUS LoadTopology(void) {
  UNICODE_STRING key_name = MakeString(L"\\Registry\\Machine\\Software\\QvzylTestBus");
  UNICODE_STRING value_name = MakeString(L"Functions");
  OBJECT_ATTRIBUTES attributes;
  HANDLE key;
  ULONG needed = 0;
  KEY_VALUE_PARTIAL_INFORMATION *info;
  NTSTATUS status;

  g_function_index =
      (ULONG *)ExAllocatePoolWithTag(NonPagedPool, kMaxFunctions * sizeof(ULONG), kPoolTag);
  if (!g_function_index) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(g_function_index, kMaxFunctions * sizeof(ULONG));

  InitializeObjectAttributes(&attributes, &key_name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                             NULL);
  status = ZwOpenKey(&key, KEY_READ, &attributes);
  if (!NT_SUCCESS(status)) {
    DbgPrint("qvzyl test: no topology key (0x%08lx), empty bus\n", (ULONG)status);
    return STATUS_SUCCESS;
  }
  status = ZwQueryValueKey(key, &value_name, KeyValuePartialInformation, NULL, 0, &needed);
  if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW) {
    ZwClose(key);
    DbgPrint("qvzyl test: no topology value (0x%08lx), empty bus\n", (ULONG)status);
    return STATUS_SUCCESS;
  }
  info = (KEY_VALUE_PARTIAL_INFORMATION *)ExAllocatePoolWithTag(PagedPool, needed, kPoolTag);
  if (!info) {
    ZwClose(key);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  status = ZwQueryValueKey(key, &value_name, KeyValuePartialInformation, info, needed, &needed);
  ZwClose(key);
  if (NT_SUCCESS(status)) {
    status = info->Type == REG_BINARY ? ParseTopology(info->Data, info->DataLength)
                                      : STATUS_OBJECT_TYPE_MISMATCH;
  }
  ExFreePoolWithTag(info, kPoolTag);
  DbgPrint("qvzyl test: topology status 0x%08lx, %lu functions\n", (ULONG)status, g_function_count);
  return status;
}

/* The dword at 0xCFC for the current latch, or NULL when nothing answers. */
static ULONG *SelectedConfigDword(void) {
  ULONG address = (ULONG)g_latch;
  ULONG slot;
  if (!(address & kConfigEnableBit)) return NULL;
  slot = g_function_index[(address >> 8) & 0xFFFFu];
  if (slot == 0) return NULL;
  return &g_functions[slot - 1].config[(address & 0xFCu) >> 2];
}

static ULONG ReadPort(ULONG port) {
  ULONG *dword;
  switch (port) {
    case kCounterPort:
      return (ULONG)g_transfers;
    case kConfigAddressPort:
      return (ULONG)g_latch;
    case kConfigDataPort:
      dword = SelectedConfigDword();
      return dword ? *dword : kAbsentFunction;
    default:
      return 0;
  }
}

static void WritePort(ULONG port, ULONG value) {
  ULONG *dword;
  switch (port) {
    case kCounterPort:
      InterlockedExchange(&g_transfers, 0);
      break;
    case kConfigAddressPort:
      InterlockedExchange(&g_latch, (LONG)value);
      break;
    case kConfigDataPort:
      dword = SelectedConfigDword();
      if (dword) *dword = value;
      break;
    default:
      break;
  }
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  ULONG in_size = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG out_size = stack->Parameters.DeviceIoControl.OutputBufferLength;
  UCHAR *buffer = (UCHAR *)irp->AssociatedIrp.SystemBuffer;
  ULONG port;
  (void)device;

  if (code == IOCTL_PORT_READ) {
    if (in_size != kReadInputSize || out_size != kOutputSize || !buffer)
      return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    port = (ULONG)buffer[0] | (ULONG)buffer[1] << 8;
    WriteLe32(buffer, ReadPort(port));
  } else if (code == IOCTL_PORT_WRITE) {
    if (in_size != kWriteInputSize || out_size != kOutputSize || !buffer)
      return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    port = ReadLe32(buffer + kWritePortOffset);
    WritePort(port, ReadLe32(buffer + kWriteValueOffset));
    WriteLe32(buffer, 0);
  } else {
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  if (port != kCounterPort) InterlockedIncrement(&g_transfers);
  return Complete(irp, STATUS_SUCCESS, kOutputSize);
}

static NTSTATUS DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  return Complete(irp, STATUS_SUCCESS, 0);
}

static void DriverUnload(PDRIVER_OBJECT driver) {
  UNICODE_STRING link = MakeString(L"\\DosDevices\\QVZYLSYS");
  (void)driver;
  IoDeleteSymbolicLink(&link);
  if (g_device) IoDeleteDevice(g_device);
  g_device = NULL;
  FreeTopology();
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
  UNICODE_STRING device_name = MakeString(L"\\Device\\QVZYLSYS");
  UNICODE_STRING link = MakeString(L"\\DosDevices\\QVZYLSYS");
  NTSTATUS status;
  (void)registry_path;

  g_latch = 0;
  g_transfers = 0;
  status = LoadTopology();
  if (!NT_SUCCESS(status)) {
    FreeTopology();
    return status;
  }
  status = IoCreateDevice(driver, 0, &device_name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_device);
  if (!NT_SUCCESS(status)) {
    FreeTopology();
    return status;
  }
  status = IoCreateSymbolicLink(&link, &device_name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(g_device);
    g_device = NULL;
    FreeTopology();
    return status;
  }
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  driver->DriverUnload = DriverUnload;
  return STATUS_SUCCESS;
}
