/* The constants of platform/win32/process.h as plain numbers, proved
   against <windows.h> by process_check.cpp. */
#pragma once

#define OVU_CREATE_SUSPENDED 0x4u
#define OVU_STACK_SIZE_PARAM_IS_A_RESERVATION 0x10000u
#define OVU_STILL_ACTIVE 259u
