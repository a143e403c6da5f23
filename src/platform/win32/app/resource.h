// Resource and control ids of the Windows program, shared by the resource script and
// the window code.
#pragma once

#define IDM_ABOUTBOX 0x0010
#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_MAIN 102
#define IDD_PASSWORD 129
#define IDI_MAIN 132

#define IDC_HIDE 1000
#define IDC_LOG 1001
#define IDC_PASSWORD 1002
#define IDC_PROMPT 1003
#define IDC_REMEMBER 1004
#define IDC_RUN_ON_STARTUP 1005

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
