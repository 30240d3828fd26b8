// The assignment records behind `cp_distribute_arguments`, made and freed
// with the argument-type registry at framework start-up and tear-down.
#ifndef GRAPH_LIB_COMPOUND_ARGUMENTS_H_
#define GRAPH_LIB_COMPOUND_ARGUMENTS_H_

// Makes the 80 records and the used flags; nothing when they exist.
void cp_make_assignment_records();
void cp_free_assignment_records();

#endif  // GRAPH_LIB_COMPOUND_ARGUMENTS_H_
