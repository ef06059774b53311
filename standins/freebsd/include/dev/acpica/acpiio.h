// FreeBSD's <dev/acpica/acpiio.h>, the battery part: the replies of the
// battery requests on /dev/acpi and the request words.
#ifndef _ACPIIO_H_
#define _ACPIIO_H_

#include <sys/types.h>
#include <sys/ioccom.h>
#include <stdint.h>

#define ACPI_BATTERY_ALL_UNITS (-1)
#define ACPI_BATT_UNKNOWN 0xffffffff /* _BST or _BI[FX] value unknown */

/* Battery state bits (acpi_battinfo.state, acpi_bst.state). */
#define ACPI_BATT_STAT_DISCHARG 0x0001
#define ACPI_BATT_STAT_CHARGING 0x0002
#define ACPI_BATT_STAT_CRITICAL 0x0004
#define ACPI_BATT_STAT_INVALID \
	(ACPI_BATT_STAT_DISCHARG | ACPI_BATT_STAT_CHARGING)
#define ACPI_BATT_STAT_BST_MASK \
	(ACPI_BATT_STAT_INVALID | ACPI_BATT_STAT_CRITICAL)
#define ACPI_BATT_STAT_NOT_PRESENT ACPI_BATT_STAT_BST_MASK

/* Units of the capacities and rates of _BIF and _BIX. */
#define ACPI_BIF_UNITS_MW 0 /* capacity in mWh, rate in mW */
#define ACPI_BIF_UNITS_MA 1 /* capacity in mAh, rate in mA */
#define ACPI_BIX_UNITS_MW 0
#define ACPI_BIX_UNITS_MA 1

#define ACPI_BIX_REV_0 0x0000   /* ACPI 4.0 _BIX */
#define ACPI_BIX_REV_1 0x0001   /* ACPI 6.0 _BIX */
#define ACPI_BIX_REV_BIF 0xffff /* built from _BIF */

#define ACPI_BIX_SCAP_NO 0x00000000
#define ACPI_BIX_SCAP_COLD 0x00000001
#define ACPI_BIX_SCAP_HOT 0x00000010

#define ACPI_CMBAT_MAXSTRLEN 32

struct acpi_battinfo {
	int cap;   /* percent, -1 unknown */
	int min;   /* minutes, -1 unknown or charging */
	int state; /* ACPI_BATT_STAT_* */
	int rate;
};

struct acpi_bif {
	uint32_t units; /* ACPI_BIF_UNITS_* */
	uint32_t dcap;  /* design capacity */
	uint32_t lfcap; /* last full capacity */
	uint32_t btech; /* 0 primary, 1 secondary cell */
	uint32_t dvol;  /* design voltage, mV */
	uint32_t wcap;  /* warning capacity */
	uint32_t lcap;  /* low capacity */
	uint32_t gra1;  /* granularity low to warning */
	uint32_t gra2;  /* granularity warning to full */
	char model[ACPI_CMBAT_MAXSTRLEN];
	char serial[ACPI_CMBAT_MAXSTRLEN];
	char type[ACPI_CMBAT_MAXSTRLEN];
	char oeminfo[ACPI_CMBAT_MAXSTRLEN];
};

struct acpi_bix {
	uint32_t units;
	uint32_t dcap;
	uint32_t lfcap;
	uint32_t btech;
	uint32_t dvol;
	uint32_t wcap;
	uint32_t lcap;
	uint32_t gra1;
	uint32_t gra2;
	char model[ACPI_CMBAT_MAXSTRLEN];
	char serial[ACPI_CMBAT_MAXSTRLEN];
	char type[ACPI_CMBAT_MAXSTRLEN];
	char oeminfo[ACPI_CMBAT_MAXSTRLEN];
	uint16_t rev;      /* ACPI_BIX_REV_* */
	uint32_t cycles;   /* rev 0 or newer */
	uint32_t accuracy;
	uint32_t stmax;
	uint32_t stmin;
	uint32_t aimax;
	uint32_t aimin;
	uint32_t scap;     /* rev 1 or newer: ACPI_BIX_SCAP_* */
	uint8_t bix_reserved[58];
};

struct acpi_bst {
	uint32_t state; /* ACPI_BATT_STAT_* */
	uint32_t rate;  /* mW or mA, after the _BI[FX] units */
	uint32_t cap;   /* mWh or mAh, after the _BI[FX] units */
	uint32_t volt;  /* mV */
};

union acpi_battery_ioctl_arg {
	int unit; /* in: battery unit, or ACPI_BATTERY_ALL_UNITS */
	struct acpi_battinfo battinfo;
	struct acpi_bix bix;
	struct acpi_bif bif;
	struct acpi_bst bst;
};

/* The argument of releases before _BIX was known. */
union acpi_battery_ioctl_arg_v1 {
	int unit;
	struct acpi_battinfo battinfo;
	struct acpi_bif bif;
	struct acpi_bst bst;
};

#define ACPIIO_BATT_GET_UNITS _IOR('B', 0x01, int)
#define ACPIIO_BATT_GET_BATTINFO _IOWR('B', 0x03, union acpi_battery_ioctl_arg)
#define ACPIIO_BATT_GET_BATTINFO_V1 \
	_IOWR('B', 0x03, union acpi_battery_ioctl_arg_v1)
#define ACPIIO_BATT_GET_BIF _IOWR('B', 0x10, union acpi_battery_ioctl_arg_v1)
#define ACPIIO_BATT_GET_BIX _IOWR('B', 0x10, union acpi_battery_ioctl_arg)
#define ACPIIO_BATT_GET_BST _IOWR('B', 0x11, union acpi_battery_ioctl_arg)
#define ACPIIO_BATT_GET_BST_V1 _IOWR('B', 0x11, union acpi_battery_ioctl_arg_v1)

#endif
