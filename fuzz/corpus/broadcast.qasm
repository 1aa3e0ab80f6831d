OPENQASM 2.0;
qreg q[64];
creg c[64];
h q;
rz(0.25) q;
barrier q;
measure q -> c;
