#ifndef INCLUDE_PERFETTO_PUBLIC_ABI_EXPORT_H_
#define INCLUDE_PERFETTO_PUBLIC_ABI_EXPORT_H_

#define PERFETTO_SDK_EXPORT __attribute__((visibility("default")))

#endif
