OPENQASM 2.0;
include "qelib1.inc";
gate rzx(param0) q0,q1 { h q1; cx q0,q1; rz(param0) q1; cx q0,q1; h q1; }
gate inner(t) a { rz(t*2) a; barrier a; }
gate outer(t, u) a, b { inner((t+u)/2) b; inner(-t) a; cx a, b; ry(sin(u)) a; }
gate nop(t) a { }
opaque later(t) a, b;
qreg q[3];
creg c[3];
outer(0.25, pi/3) q[2], q[0];
rzx(-1.2) q[1], q[2];
nop(1) q;
outer(1, 2) q[0], q;
measure q -> c;
