// What is known of remote servers: per server a status, its address, a
// running throughput figure and one data word, recorded when connections
// are made and measured. Records are found by name (the sum of the name's
// codes modulo 13) and by address (modulo 13) in two tables of 13 chains,
// new records at the head of their chains; records are never removed.
//
// The server-information lock guards both tables and every record; each
// operation holds it for its whole run and callers get copies.
#pragma once

#include "runtime/net_ops.h"

struct _SERVER_INFO {
  SERVER_INFO i;  // its name is an owned copy
  unsigned w_time;  // last change
  unsigned r_time;  // last look-up
  _SERVER_INFO* next;     // name chain
  _SERVER_INFO* ip_next;  // address chain
};

// Empties the tables.
void init_serverinfo_table();
// Inserts or updates the record of si's server (by name when si names one,
// else by address). cmd tells how the throughput (SI_THPUT) is taken: 1
// replaced, 3 a running figure; and the data word (SI_DATA): 1 replaced, 2
// set only while it is 0. Nothing changes when the record's status has no
// bit of set_if. 0; -1 when si names no usable key or cmd does not apply
// to a field; -2 when set_if refused or the data word was already set.
int set_serverinfo_table(SERVER_INFO* si, int cmd, int set_if);
// Copies the record of si's server (by name, else by address) into si,
// keeping si's own name pointer, and notes the look-up time. 0 or -1.
int get_serverinfo(SERVER_INFO* si);
