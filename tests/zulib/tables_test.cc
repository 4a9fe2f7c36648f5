// Tables: the fixed merge order, field comparisons, joins, groups, runs
// and hierarchies, with the errors of compare functions.
#include "library_cases.h"

namespace {

const char* kSetUp =
    "(define sub (lambda () (f a b) (- a b)))\n"
    "(define same (lambda () (f a b) 0))\n"
    "(define recs (quote (<r><n>b</n><age>30</age></r> <r><n>a</n><age>25</age></r> <r><n>c</n><age>25</age></r>)))\n"
    "(define t2 (quote (<s><age>25</age><x>1</x></s> <s><age>30</age><x>2</x></s>)))\n"
    "(define rows (List (quote (a 1 x)) (quote (a 1 y)) (quote (a 2 z)) (quote (b 1 w))))\n"
    "(define shared (lambda () (f p e) (if (equal (car p) (car e)) "
    "(if (equal (car (cdr p)) (car (cdr e))) 2 1) 0)))\n";

const LibCases kCases = {
    {"(Sort (List 3 1 2) sub)", "(1 2 3)"},
    // Equal members come out in the order the merge steps fix.
    {"(Sort (List (quote p) (quote q) (quote r)) same)", "(q r p)"},
    {"(Sort (List 1 2 3 4 5) same)", "(2 3 1 4 5)"},
    {"(Sort (List (quote (x)) 1) (lambda () (f a b) (if (== (TypeOf a) \"list\") 1 -1)))", "(1 (x))"},
    {"(Sort () sub)", "error 80030806 \"Sort\" (\"list\" \"is type missmatch\")"},
    {"(Sort (cons 1 2) sub)", "error 80030806 \"Sort\" (\"list\" \"is type missmatch\")"},
    {"(Sort (List 1 2) 5)", "error 80030806 \"Sort\" (\"compare function\" \"is type missmatch\")"},
    {"(Sort (List 1 2) (lambda () (f a b) \"x\"))",
     "error 80030806 \"Sort\" \"return value type missmatch of compare function\""},
    {"(Sort (List 3 -1 2) if)", "(2 3 -1)"},  // a function of argument order 0 gets a form of its own
    {"(Sort (List 1 \"a\") sub)", "error 80030806 \"binary\" (\"type missmatch\")"},
    {"(Sort field=\"age,n\" recs)",
     "((r (n \"a\") (age 25)) (r (n \"c\") (age 25)) (r (n \"b\") (age 30)))"},
    {"(Sort field=\"n\" (List (quote (r (n 1))) (quote (r (n \"x\")))))", "error 80030806 \"binary\" (\"type missmatch\")"},
    // Joins: equal runs meet pairwise; the result is in reverse order of
    // emission; without fields, the cross product.
    {"(NaturalJoin field=\"age\" recs t2)",
     "((r (n \"b\") (age 30) (x 2)) (r (n \"c\") (age 25) (x 1)) (r (n \"a\") (age 25) (x 1)))"},
    {"(NaturalJoin (List (List 1) (List 2)) (List (List 3) (quote (t 4))))", "((2 4) (2 3) (1 4) (1 3))"},
    {"(NaturalJoin field=\"age\" sort1=\"off\" recs t2)", "((r (n \"b\") (age 30) (x 2)))"},
    {"(NaturalJoin field=\"age\" recs (List 5))", "error 80030806 \"NaturalJoin\" \"type missmatch\""},
    {"(NaturalJoin () t2)", "()"},
    // Groups: key (tag fields...), then (table (record ...) ...).
    {"(Projection field=\"age\" recs)",
     "((r (age 30) (table (record (n \"b\")))) (r (age 25) (table (record (n \"c\")) (record (n \"a\")))))"},
    {"(Projection field=\"age\" sort1=\"off\" recs)",
     "((r (age 25) (table (record (n \"c\")) (record (n \"a\")))) (r (age 30) (table (record (n \"b\")))))"},
    {"(Projection field=\"age\" (List (List 1 (quote (age 2)))))", "((record (age 2) (table (record 1))))"},
    {"(Projection ())", "()"},
    // Runs and hierarchies; members reach the functions as data.
    {"(Categorize (List 1 2 4 5) (lambda () (f a b) (if (== b (+ a 1)) 1 0)))", "((1 2) (4 5))"},
    {"(Categorize (List (quote x) (quote y)) (lambda () (f a b) (if (== a (quote x)) 1 0)))", "((x y))"},
    {"(Categorize (List 1 2) (lambda () (f a b) ()))",
     "error 80030806 \"Categorize\" \"type missmatch the return of cmp function\""},
    {"(Categorize () 5)", "()"},
    {"(Categorize (List 1) 5)", "error 80030806 \"Categorize\" \"type missmatch\""},
    {"(V2H rows shared h2v)", "((a (1 x y) (2 z)) (b (1 w)))"},
    {"(V2H (List 1 2 3) same)", "(1 2 3)"},
    {"(V2H (List (List 1) (List 2)) (lambda () (f p e) 1))", "((1 2))"},
    {"(V2H (List 1 2) (lambda () (f p e) 1))", "error 80040503 \"V2H\" \"depth out of range\""},
    {"(V2H (List (List 1) 2) (lambda () (f p e) 1))", "error 80040503 \"V2H\" \"depth out of range\""},
    {"(V2H (List 1 2) (lambda () (f p e) -1))", "error 80040503 \"V2H\" \"depth out of range\""},
    {"(V2H (List 1 2) (lambda () (f p e) 1.5))",
     "error 80030806 \"V2H\" \"type missmatch the return of cmp function\""},
    {"(V2H (List 1) same 5)", "error 80030806 \"V2H\" \"type missmatch\""},
    {"(h2v (quote (a 1 x)))", "((x 1) a)"},
    {"(h2v 5)", "error 80030806 \"h2v\" \"type missmatch\""},
};

const char* kKeptText =
    "(((a 1 x) (a 1 y) (a 2 z) (b 1 w)) ((r (n \"b\") (age 30)) (r (n \"a\") (age 25)) (r (n \"c\") (age 25))))";

}  // namespace

TEST_F(LibraryCases, Tables) { run_all(kSetUp, kCases, "(List rows recs)", kKeptText); }

TEST_F(LibraryCases, TablesWhileCollecting) { run_collecting(kSetUp, kCases, "(List rows recs)", kKeptText); }
