OPENQASM 2;
qreg a[3];
qreg b[3];
creg c[4];
rx(-2^2 + sin(pi/3) * cos(.5) / sqrt(2)) a[0]; // comment
ry(exp(ln(2.5e1)) - 1E-3) b;
u3(1,2,3) a[1];
cz a, b;
swap a[2], b[0];
cp(tan(0.1)) b[1], a;
rxx(+-+1) a[0], b[2];
sdg a; tdg b[1]; s a[2]; t b[0]; y a[1]; z b[2]; x a[0];
barrier a[2], b, a[2];
measure a[1] -> c[3];
measure b[0] -> c[0];
